#include "knowledge/COSEMUnits.h"

namespace quillon {

namespace {

struct TUnit {
  int Code;
  const char* Symbol;
};

constexpr TUnit kUnits[] = {
    {1, "a"},          {2, "mo"},         {3, "wk"},          {4, "d"},           {5, "h"},
    {6, "min"},        {7, "s"},          {8, "°"},           {9, "°C"},          {10, "currency"},
    {11, "m"},         {12, "m/s"},       {13, "m3"},         {14, "m3"},         {15, "m3/h"},
    {16, "m3/h"},      {17, "m3/d"},      {18, "m3/d"},       {19, "l"},          {20, "kg"},
    {21, "N"},         {22, "Nm"},        {23, "Pa"},         {24, "bar"},        {25, "J"},
    {26, "J/h"},       {27, "W"},         {28, "VA"},         {29, "var"},        {30, "Wh"},
    {31, "VAh"},       {32, "varh"},      {33, "A"},          {34, "C"},          {35, "V"},
    {36, "V/m"},       {37, "F"},         {38, "Ω"},          {39, "Ωm2/m"},      {40, "Wb"},
    {41, "T"},         {42, "A/m"},       {43, "H"},          {44, "Hz"},         {45, "1/(Wh)"},
    {46, "1/(varh)"},  {47, "1/(VAh)"},   {48, "V2h"},        {49, "A2h"},        {50, "kg/s"},
    {51, "S"},         {52, "K"},         {53, "1/(V2h)"},    {54, "1/(A2h)"},    {55, "1/m3"},
    {56, "%"},         {57, "Ah"},        {60, "Wh/m3"},      {61, "J/m3"},       {62, "Mol %"},
    {63, "g/m3"},      {64, "Pa s"},      {65, "J/kg"},       {66, "g/cm2"},      {67, "atm"},
    {70, "dBm"},       {71, "dBµV"},      {72, "dB"},         {254, "other"},
};

}  // namespace

std::string COSEMUnitName(int unit) {
  for (const TUnit& u : kUnits)
    if (u.Code == unit) return u.Symbol;
  return std::string();
}

}  // namespace quillon
