// The shared names are header-only; this unit keeps the header compiling on its own.
#include "CalbrixIdentifiers.h"
