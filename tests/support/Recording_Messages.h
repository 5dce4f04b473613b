#pragma once
#include "text/Messages.h"

#include <string>
#include <vector>

// Message sink for tests: keeps every text in order.
class TRecording_Messages : public TMessages {
public:
  void Show(const std::string& text) override { Texts.push_back(text); }
  std::vector<std::string> Texts;
};
