// Any text through the general tokenizer: every step must consume input or
// end, and the only errors are tokenizer errors.
#include "FuzzSupport.h"
#include "xmlpdu/infra/XMLParser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quillon;
  fuzz::TAllocationBudget budget(size);
  std::string text(reinterpret_cast<const char*>(data), size);
  TLexicalAnalyser lex;
  lex.SetText(text);
  lex.Next();
  // Each step consumes at least one character, so more steps than characters is a hang.
  for (size_t steps = 0; lex.FToken != toEndOfBuffer && lex.LexError == LexNoErr; ++steps) {
    fuzz::Require(steps <= size + 1, "the tokenizer does not advance", text);
    int before = lex.FNextIdx;
    bool ok = fuzz::Expecting([&] {
      if (lex.FToken == toIntConst)
        lex.ExpectInt(-5, 1000);
      else
        lex.Expect(lex.FToken);
    });
    if (!ok) lex.Next();
    fuzz::Require(lex.FNextIdx > before || lex.FToken == toEndOfBuffer || lex.LexError != LexNoErr,
                  "a token of no characters", text);
    fuzz::Require(lex.FNextIdx <= static_cast<int>(size), "the tokenizer ran past the text", text);
  }
  // Error positions are counted back to the line start: once per text is enough.
  fuzz::Require(lex.GetTokenIndexInLine() >= 1, "a token before its line");
  return 0;
}
