#include "aiff/wraiff.h"
