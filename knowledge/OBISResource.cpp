// The database as the program carries it: built into the binary by the build
// (the bytes come from a source file that tools/obiscompile generates), and as
// a file in the build tree for tests and tools.
#include <fstream>
#include <iterator>
#include <mutex>

#include "knowledge/OBISData.h"
#include "xmlpdu/infra/SharedData.h"

namespace quillon {

// Defined in the generated source.
extern const unsigned char kOBISResource1[];
extern const size_t kOBISResource1Size;

std::string_view EmbeddedOBISResource() {
  return {reinterpret_cast<const char*>(kOBISResource1), kOBISResource1Size};
}

std::unique_ptr<TOBISData> LoadEmbeddedOBISData() { return TOBISData::CreateFromCipheredStream(EmbeddedOBISResource()); }

const TOBISData& EmbeddedOBISData() {
  static const std::unique_ptr<TOBISData> data = LoadEmbeddedOBISData();
  return *data;
}

std::string DefaultOBISDatabaseFile() {
  // Installed, or beside the program in the build tree; else where this build put it.
  const std::string shared = SharedDataFile("obis.db");
  if (!shared.empty()) return shared;
#ifdef QUILLON_OBIS_DB_FILE
  return QUILLON_OBIS_DB_FILE;
#else
  return "obis.db";
#endif
}

std::unique_ptr<TOBISData> LoadOBISDataFromFile(const std::string& path) {
  // Far more than any description database needs; a larger file is not one.
  constexpr std::streamoff kMaxFileSize = 256 << 20;
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) RaiseGeneral(Format("Cannot open OBIS database \"%s\"", path.c_str()));
  const std::streamoff size = in.tellg();
  if (size < 0 || size > kMaxFileSize) RaiseGeneral(Format("OBIS database \"%s\" is too large", path.c_str()));
  std::string bytes(static_cast<size_t>(size), '\0');
  in.seekg(0);
  in.read(bytes.data(), size);
  if (!in) RaiseGeneral(Format("Cannot read OBIS database \"%s\"", path.c_str()));
  return TOBISData::CreateFromCipheredStream(bytes);
}

}  // namespace quillon
