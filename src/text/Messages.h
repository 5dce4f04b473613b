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
