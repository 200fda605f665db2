// Typed one-dimensional views of objects that export the buffer protocol
// (NumPy arrays, array.array), with the messages of a typed buffer check.
#pragma once
#include "pyglue/ref.hpp"

#include <cstdint>

namespace pyglue {

enum class Kind : char { floating = 'f', signed_int = 'i', unsigned_int = 'u' };

// What a view must hold: the kind and size of one item and the name used in
// the mismatch message.
struct ItemType {
  Kind kind;
  Py_ssize_t size;
  const char* name;
};

inline constexpr ItemType FLOAT_t{Kind::floating, 8, "FLOAT_t"};
inline constexpr ItemType INT_t{Kind::signed_int, 4, "INT_t"};
inline constexpr ItemType UINT8_t{Kind::unsigned_int, 1, "UINT8_t"};

namespace detail {

inline const char* describe(char c) {
  switch (c) {
    case 'c': return "'char'";
    case 'b': return "'signed char'";
    case 'B': return "'unsigned char'";
    case 'h': return "'short'";
    case 'H': return "'unsigned short'";
    case 'i': return "'int'";
    case 'I': return "'unsigned int'";
    case 'l': return "'long'";
    case 'L': return "'unsigned long'";
    case 'q': return "'long long'";
    case 'Q': return "'unsigned long long'";
    case 'n': return "'Py_ssize_t'";
    case 'N': return "'size_t'";
    case 'e': return "'half'";
    case 'f': return "'float'";
    case 'd': return "'double'";
    case 'g': return "'long double'";
    case '?': return "'bool'";
    case 'Z': return "a complex number";
    case 'O': return "Python object";
    case 'P': return "a pointer";
    case 's': case 'p': return "a string";
    case 0: return "end";
    default: return "unparseable format string";
  }
}

inline Kind kind_of(char c) {
  switch (c) {
    case 'e': case 'f': case 'd': case 'g': return Kind::floating;
    case 'b': case 'h': case 'i': case 'l': case 'q': case 'n': return Kind::signed_int;
    case 'B': case 'H': case 'I': case 'L': case 'Q': case 'N': case '?': return Kind::unsigned_int;
    default: return Kind(0);
  }
}

}  // namespace detail

// Holds an acquired buffer for the lifetime of the object.
class Buffer {
 public:
  Buffer() = default;
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer() { release(); }

  void release() {
    if (held_) PyBuffer_Release(&view_);
    held_ = false;
  }

  // Acquires obj as a C-contiguous view of `ndim` dimensions holding `type`.
  bool acquire(PyObject* obj, const ItemType& type, bool writable, int ndim = 1) {
    release();
    int flags = PyBUF_FORMAT | PyBUF_C_CONTIGUOUS | (writable ? PyBUF_WRITABLE : 0);
    if (PyObject_GetBuffer(obj, &view_, flags) < 0) return false;
    held_ = true;
    if (view_.ndim != ndim) {
      int got = view_.ndim;
      release();
      return value_error("Buffer has wrong number of dimensions (expected %d, got %d)", ndim, got);
    }
    const char* fmt = view_.format ? view_.format : "B";
    if (*fmt == '@' || *fmt == '=' || *fmt == '<' || *fmt == '>' || *fmt == '!') {
      bool big = (*fmt == '>' || *fmt == '!');
      if (big != (PY_BIG_ENDIAN != 0)) {
        release();
        return value_error("Buffer dtype byte order mismatch, expected native byte order");
      }
      ++fmt;
    }
    char code = fmt[0];
    bool single = code != 0 && fmt[1] == 0;
    if (!single || detail::kind_of(code) != type.kind || view_.itemsize != type.size) {
      const char* got = single ? detail::describe(code) : detail::describe(0x7f);
      release();
      return value_error("Buffer dtype mismatch, expected %s%s%s but got %s", "'", type.name, "'", got);
    }
    return true;
  }

  template <class T>
  T* data() const noexcept { return static_cast<T*>(view_.buf); }
  Py_ssize_t len() const noexcept { return view_.ndim ? view_.shape[0] : 0; }
  Py_ssize_t shape(int axis) const noexcept { return view_.shape[axis]; }
  bool held() const noexcept { return held_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

}  // namespace pyglue
