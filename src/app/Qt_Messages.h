#pragma once
// The program's message sink: each finding is shown in a modal box titled "Korvane".

#include "text/Messages.h"

class TQt_Messages : public TMessages {
public:
  void Show(const std::string& text) override;
};
