#include "yesnoform.h"
