#pragma once
// Sink for findings that do not stop the work (a header card the reader does not like,
// a missing target file). The program shows a modal box, korvane-measure prints to
// standard error, tests record the texts.

#include <stdexcept>
#include <string>

class TMessages {
public:
  virtual ~TMessages();
  virtual void Show(const std::string& text) = 0;
};

// An error that ends the current command. Its text is shown to the user as it stands
// (the program appends a full stop when the text has none).
class TKorvane_Error : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// An error at one line of a text file (a target file): the text as the program shows it,
// and the 1-based line, for callers that name it (korvane-measure does).
class TLine_Error : public TKorvane_Error {
public:
  TLine_Error(const std::string& Text, long long Line_Number) : TKorvane_Error(Text), Line(Line_Number) {}
  long long Line;
};
