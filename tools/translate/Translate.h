// The conversions behind quillon-translate, kept apart from the command line.
#pragma once

#include <exception>
#include <functional>
#include <string>
#include <string_view>

namespace quillon {

enum class TTranslateMode { tmNone, tmToXml, tmToHex, tmClean, tmDemo };

// Converts `input` as `mode` says; `data` selects a bare Data value instead of
// a whole APDU. The result ends with a line break. Fails with the decoder's
// error.
std::string Translate(TTranslateMode mode, bool data, std::string_view input);

// Translate with tmToXml, the result handed to sink in pieces of about
// `piece` characters as it is written instead of kept whole. On an error the
// pieces written before it have been handed on already.
void TranslateToXmlPieces(bool data, std::string_view input, const std::function<void(std::string_view)>& sink,
                          size_t piece);

// The built-in sample: each capture as hex and as XML.
std::string DemoText();

// The error text for standard error: the message, and for XML errors the
// line and position of the offending tag.
std::string DescribeError(const std::exception& e);

}  // namespace quillon
