#include "text/Messages.h"

TMessages::~TMessages() = default;

void TGathered_Messages::Show(const std::string& Text) {
  for (auto& [Seen, Count] : Texts)
    if (Seen == Text) {
      ++Count;
      return;
    }
  Texts.emplace_back(Text, 1);
}
