#pragma once
// Export macro of libcf: symbols are hidden unless marked with CF_API.
#if defined(_WIN32)
#  if defined(CF_BUILDING)
#    define CF_API __declspec(dllexport)
#  else
#    define CF_API __declspec(dllimport)
#  endif
#else
#  define CF_API __attribute__((visibility("default")))
#endif
