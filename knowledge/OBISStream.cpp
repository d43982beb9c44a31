// The plain stream of the database: little-endian integers, UTF-16LE strings,
// 36-byte values. The reader checks every count against the bytes that remain
// before it allocates, and every value against its domain, so that a damaged
// resource gives a clear error instead of a crash or a huge allocation.
#include <algorithm>

#include "knowledge/OBISData.h"

namespace quillon {

namespace {

constexpr size_t kValueSize = 36;
// The smallest encodings, used to bound announced counts.
constexpr size_t kMinItemSize = 4 + 1 + 1 + 6 * kValueSize + 4 + 3;
constexpr size_t kMinStringSize = 4;
constexpr size_t kMinVariableSize = kMinStringSize + kValueSize;

class TReader {
public:
  explicit TReader(std::string_view data) : FData(data) {}

  [[noreturn]] void Fail(const std::string& what) const { throw EOBISStreamError(what, FPos); }

  void Need(size_t n, const char* what) const {
    if (n > FData.size() - FPos) Fail(Format("truncated %s", what));
  }

  uint8_t Byte(const char* what) {
    Need(1, what);
    return static_cast<uint8_t>(FData[FPos++]);
  }

  bool Boolean(const char* what) {
    const uint8_t b = Byte(what);
    if (b > 1) Fail(Format("%s is %d, not 0 or 1", what, b));
    return b == 1;
  }

  uint16_t Word(const char* what) {
    Need(2, what);
    const uint16_t v = static_cast<uint16_t>(static_cast<uint8_t>(FData[FPos]) | static_cast<uint8_t>(FData[FPos + 1]) << 8);
    FPos += 2;
    return v;
  }

  int32_t Int(const char* what) {
    Need(4, what);
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(FData[FPos + static_cast<size_t>(i)]);
    FPos += 4;
    return static_cast<int32_t>(v);
  }

  // A count of things each at least minSize bytes long.
  size_t Count(const char* what, size_t minSize, bool negativeIsNone = false) {
    const int32_t n = Int(what);
    if (n < 0 && negativeIsNone) return 0;
    if (n < 0) Fail(Format("negative %s %d", what, n));
    if (static_cast<size_t>(n) > (FData.size() - FPos) / minSize) Fail(Format("%s %d exceeds the data", what, n));
    return static_cast<size_t>(n);
  }

  // UTF-16LE code units to UTF-8; an unpaired surrogate becomes U+FFFD.
  std::string String(const char* what) {
    const int32_t n = Int(what);
    if (n < 1) return {};
    if (static_cast<size_t>(n) > (FData.size() - FPos) / 2) Fail(Format("truncated %s", what));
    std::string out;
    out.reserve(static_cast<size_t>(n));
    for (int32_t i = 0; i < n; ++i) {
      uint32_t cp = Word(what);
      if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < n) {
        const uint16_t low = static_cast<uint16_t>(static_cast<uint8_t>(FData[FPos]) | static_cast<uint8_t>(FData[FPos + 1]) << 8);
        if (low >= 0xDC00 && low <= 0xDFFF) {
          FPos += 2;
          ++i;
          cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        }
      }
      if (cp >= 0xD800 && cp <= 0xDFFF) cp = 0xFFFD;
      AppendUtf8(out, cp);
    }
    return out;
  }

  // One string holding lines, each ended by CR LF, CR or LF.
  std::vector<std::string> Lines(const char* what) {
    const std::string text = String(what);
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
      const size_t end = text.find_first_of("\r\n", start);
      if (end == std::string::npos) {
        lines.push_back(text.substr(start));
        break;
      }
      lines.push_back(text.substr(start, end - start));
      start = end + (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n' ? 2 : 1);
    }
    return lines;
  }

  TValue Value(const char* what) {
    Need(kValueSize, what);
    TValue v;
    const uint8_t kind = Byte(what);
    if (kind > vkSet) Fail(Format("%s has kind %d", what, kind));
    v.Kind = static_cast<TValueKind>(kind);
    v.ByteValue = Byte(what);
    v.LoRange = Byte(what);
    v.HiRange = Byte(what);
    for (uint8_t& b : v.SetValue) b = Byte(what);
    return v;
  }

  std::optional<TValue> OptionalValue(const char* what) {
    if (!Boolean(what)) return std::nullopt;
    return Value(what);
  }

  TByteSet Set(const char* what) {
    TByteSet s{};
    for (uint8_t& b : s) b = Byte(what);
    return s;
  }

private:
  static void AppendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | cp >> 6);
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | cp >> 12);
      out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | cp >> 18);
      out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
      out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }

  std::string_view FData;
  size_t FPos = 0;
};

std::unique_ptr<TOBISItemData> ReadItem(TReader& r) {
  auto item = std::make_unique<TOBISItemData>();
  item->LineNr = r.Int("line number");
  item->IsTableExpansion = r.Boolean("table expansion mark");
  item->IsAmpersAndExpansion = r.Boolean("ampersand expansion mark");
  for (TValue& v : item->Values.Items) v = r.Value("pattern value");
  item->Texts = r.Lines("text lines");
  item->InterfaceClasses = r.OptionalValue("interface classes");
  item->AltInterfaceClasses = r.OptionalValue("alternative interface classes");
  item->ValueTypes = r.OptionalValue("value types");
  return item;
}

std::unique_ptr<TOBISMediaData> ReadMedia(TReader& r) {
  auto media = std::make_unique<TOBISMediaData>();
  const size_t items = r.Count("item count", kMinItemSize);
  if (items == 0) r.Fail("medium without items");
  media->Items.reserve(items);
  for (size_t i = 0; i < items; ++i) media->Items.push_back(ReadItem(r));
  const TByteSet present = r.Set("table set");
  for (int c = 0; c < 256; ++c)
    if (ByteSetHas(present, static_cast<uint8_t>(c)) && (c < '0' || c > '9'))
      r.Fail(Format("table set names table %d", c));
  for (int t = 0; t < kTableCount; ++t) {
    if (!ByteSetHas(present, static_cast<uint8_t>('0' + t))) continue;
    auto table = std::make_unique<TTable>();
    table->Column = static_cast<TColumn>(r.Word("table column"));
    if (!IsColumn(table->Column)) r.Fail(Format("table column %d is no value group", int(table->Column)));
    const size_t entries = r.Count("table entry count", kMinStringSize);
    table->Entries.resize(entries);
    for (TTableEntry& e : table->Entries) e.Text = r.String("table entry");
    media->Tables[static_cast<size_t>(t)] = std::move(table);
  }
  // A count of 0 or less means none.
  const size_t variables = r.Count("variable count", kMinVariableSize, true);
  for (size_t i = 0; i < variables; ++i) {
    std::string name = r.String("variable name");
    media->Variables.Define(name, r.Value("variable value"));
  }
  return media;
}

class TWriter {
public:
  void Byte(uint8_t b) { FOut += static_cast<char>(b); }
  void Word(uint16_t w) {
    Byte(static_cast<uint8_t>(w));
    Byte(static_cast<uint8_t>(w >> 8));
  }
  void Int(int32_t v) {
    for (int i = 0; i < 4; ++i) Byte(static_cast<uint8_t>(static_cast<uint32_t>(v) >> (8 * i)));
  }
  // UTF-8 to UTF-16LE; a byte that starts no well-formed sequence is taken
  // as the Latin-1 character of that value.
  void String(std::string_view s) {
    std::u16string units;
    for (size_t i = 0; i < s.size();) {
      const uint8_t c = static_cast<uint8_t>(s[i]);
      const size_t extra = c >= 0xF0 && c < 0xF8 ? 3 : c >= 0xE0 && c < 0xF0 ? 2 : c >= 0xC0 && c < 0xE0 ? 1 : 0;
      uint32_t cp = c;
      bool ok = extra > 0 && i + extra < s.size();
      if (ok) {
        cp = c & (0x3Fu >> extra);
        for (size_t k = 1; k <= extra; ++k) {
          const uint8_t d = static_cast<uint8_t>(s[i + k]);
          ok = ok && (d & 0xC0) == 0x80;
          cp = cp << 6 | (d & 0x3Fu);
        }
      }
      if (ok) {
        i += extra + 1;
      } else {
        cp = c;
        ++i;
      }
      if (cp >= 0x10000) {
        units += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
        units += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
      } else {
        units += static_cast<char16_t>(cp);
      }
    }
    Int(static_cast<int32_t>(units.size()));
    for (char16_t u : units) Word(u);
  }
  void Lines(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& l : lines) text += l + "\r\n";
    String(text);
  }
  void Value(const TValue& v) {
    Byte(v.Kind);
    Byte(v.ByteValue);
    Byte(v.LoRange);
    Byte(v.HiRange);
    for (uint8_t b : v.SetValue) Byte(b);
  }
  void OptionalValue(const std::optional<TValue>& v) {
    Byte(v ? 1 : 0);
    if (v) Value(*v);
  }
  PduStr FOut;
};

}  // namespace

std::unique_ptr<TOBISData> TOBISData::CreateFromStream(std::string_view plain) {
  TReader r(plain);
  auto data = std::make_unique<TOBISData>();
  data->FAllWords = r.Lines("word list");
  for (auto& media : data->AllMediaData)
    if (r.Byte("medium mark") != 0) media = ReadMedia(r);
  return data;
}

PduStr TOBISData::SaveToStream() const {
  TWriter w;
  w.Lines(FAllWords);
  for (const auto& media : AllMediaData) {
    w.Byte(media ? 1 : 0);
    if (!media) continue;
    CheckAssertion(!media->Items.empty(), "!media->Items.empty()");
    w.Int(static_cast<int32_t>(media->Items.size()));
    for (const auto& item : media->Items) {
      w.Int(item->LineNr);
      w.Byte(item->IsTableExpansion);
      w.Byte(item->IsAmpersAndExpansion);
      for (const TValue& v : item->Values.Items) w.Value(v);
      w.Lines(item->Texts);
      w.OptionalValue(item->InterfaceClasses);
      w.OptionalValue(item->AltInterfaceClasses);
      w.OptionalValue(item->ValueTypes);
    }
    TByteSet present{};
    for (int t = 0; t < kTableCount; ++t)
      if (media->Tables[static_cast<size_t>(t)]) ByteSetAdd(present, static_cast<uint8_t>('0' + t));
    for (uint8_t b : present) w.Byte(b);
    for (const auto& table : media->Tables) {
      if (!table) continue;
      w.Word(table->Column);
      w.Int(static_cast<int32_t>(table->Entries.size()));
      for (const TTableEntry& e : table->Entries) w.String(e.Text);
    }
    w.Int(static_cast<int32_t>(media->Variables.Items.size()));
    for (const auto& [name, value] : media->Variables.Items) {
      w.String(name);
      w.Value(*value);
    }
  }
  return std::move(w.FOut);
}

}  // namespace quillon
