/* Force-included before ONNX Runtime's C header under mingw-w64, which lacks
   two of the Microsoft compiler's spellings that the header uses. */
#include <specstrings.h>
#ifndef _stdcall
#define _stdcall __stdcall
#endif
#ifndef _Return_type_success_
#define _Return_type_success_(expression)
#endif
