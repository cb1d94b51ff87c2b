#include "wav.hpp"
