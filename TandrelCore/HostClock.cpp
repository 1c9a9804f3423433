#include "TandrelCore/TandrelCore.h"
