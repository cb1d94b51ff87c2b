#include "spectral.hpp"
