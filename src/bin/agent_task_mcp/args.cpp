#include "args.h"
