#include "text/Messages.h"

TMessages::~TMessages() = default;
