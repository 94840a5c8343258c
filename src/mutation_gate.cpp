#include "mutation_gate.h"
