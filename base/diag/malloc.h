// Registered allocation: every block is known to the resource manager until _free.
#pragma once
#include <cstdint>
#include <type_traits>

#include "base/diag/cvr.h"

int _malloc(void** out, int size);
int _malloc0(void** out, int size);
int _malloc_cpy(void** out, const void* src, int size);
int _malloc_str(char** out, const char* str);
void _free(void** pp);

template <class T>
inline int _malloc(T** out, int size) {
  void* p = nullptr;
  const int r = _malloc(&p, size);
  *out = static_cast<T*>(p);
  return r;
}
template <class T>
inline int _malloc0(T** out, int size) {
  void* p = nullptr;
  const int r = _malloc0(&p, size);
  *out = static_cast<T*>(p);
  return r;
}
template <class T>
inline int _malloc_cpy(T** out, const void* src, int size) {
  void* p = nullptr;
  const int r = _malloc_cpy(&p, src, size);
  *out = static_cast<T*>(p);
  return r;
}
template <class T>
inline void _free(T** pp) {
  void* p = nullptr;
  if (CVR(pp != nullptr)) p = static_cast<void*>(const_cast<std::remove_cv_t<T>*>(*pp));
  _free(&p);
}
