#include "envelopes.h"
