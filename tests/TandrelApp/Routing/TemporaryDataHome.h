// Points the application-support folder (XDG_DATA_HOME) at a fresh temporary directory while it lives,
// so tests never read or write the real user's configuration.
#pragma once

#include "Support/TemporaryXdgHome.h"

class TemporaryDataHome : public TemporaryXdgHome {
public:
    TemporaryDataHome()
        : TemporaryXdgHome("XDG_DATA_HOME") {}
};
