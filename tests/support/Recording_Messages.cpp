#include "support/Recording_Messages.h"
