#include "wav/WavFile.h"
