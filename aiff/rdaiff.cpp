#include "aiff/rdaiff.h"
