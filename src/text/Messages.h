#pragma once
// Sink for findings that do not stop the work (a header card the reader does not like,
// a missing target file). The program shows a modal box, korvane-measure prints to
// standard error, tests record the texts.

#include <cstddef>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

class TMessages {
public:
  virtual ~TMessages();
  virtual void Show(const std::string& text) = 0;
};

// A file's findings gathered while it is read: each text once, in the order first seen, with
// how often it came. A damaged header of thousands of cards then gives one finding per kind
// of fault.
class TGathered_Messages : public TMessages {
public:
  void Show(const std::string& Text) override;
  std::vector<std::pair<std::string, size_t>> Texts; // text, count
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
