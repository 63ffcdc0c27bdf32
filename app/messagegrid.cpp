#include "messagegrid.h"
