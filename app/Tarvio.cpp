#include "app/Tarvio.h"
