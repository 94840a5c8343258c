#include "verifier_strength.h"
