#include "trace/trace.h"

// The one switch of the service: no input of the program changes it.
int debug = 1;
