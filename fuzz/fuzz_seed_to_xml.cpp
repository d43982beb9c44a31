// Helper for fuzz/make-corpus.py: reads bytes of an APDU ("apdu") or a Data
// value ("data") on stdin and writes their XML, so that XML seeds are real
// documents. Not a fuzz target.
#include <cstdio>
#include <cstring>
#include <iostream>
#include <iterator>

#include "xmlpdu/Catalogue.h"

int main(int argc, char** argv) {
  using namespace quillon;
  if (argc != 2) return 2;
  std::string in((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
  try {
    TCOSEMPduBaseClass cls = std::strcmp(argv[1], "data") == 0 ? &T_Data::ClassInfo : &T_COSEMpdu::ClassInfo;
    std::cout << TCOSEMPduBase::MakeAnyFromPdu(xmlIgnore, cls, in)->ToXMLString();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
