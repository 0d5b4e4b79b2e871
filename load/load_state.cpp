#include "load_state.h"

LoadBlock loadBlock;
AccessLoad accessLoad;
