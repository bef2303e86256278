// <immintrin.h> for sources built for AVX-512. GCC 12's AVX-512 headers build
// their "undefined" vectors as `__m512 __Y = __Y;`, which -Wuninitialized
// reports at every inlined use (GCC bug 105593); those two warnings are off
// for the file that includes this.
#pragma once

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
