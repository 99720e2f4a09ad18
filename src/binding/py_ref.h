// An owning handle for one strong reference to a Python object.
#pragma once

#include <Python.h>

#include <utility>
#include <vector>

namespace tamsel::binding {

class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference (may be null).
  explicit PyRef(PyObject* owned) : p_(owned) {}
  ~PyRef() { Py_XDECREF(p_); }
  PyRef(PyRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  PyRef& operator=(PyRef&& o) noexcept {
    if (this != &o) {
      Py_XDECREF(p_);
      p_ = std::exchange(o.p_, nullptr);
    }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;

  // A new handle to a borrowed reference.
  static PyRef borrow(PyObject* p) {
    Py_XINCREF(p);
    return PyRef(p);
  }

  PyObject* get() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // Gives the reference to the caller.
  PyObject* release() { return std::exchange(p_, nullptr); }

 private:
  PyObject* p_ = nullptr;
};

// Python objects owned until handed on; released on every other path.
struct OwnedObjects {
  std::vector<PyObject*> objects;
  OwnedObjects() = default;
  OwnedObjects(const OwnedObjects&) = delete;
  OwnedObjects& operator=(const OwnedObjects&) = delete;
  ~OwnedObjects() { clear(); }
  void clear() {
    for (PyObject* object : objects) Py_XDECREF(object);
    objects.clear();
  }
};

}  // namespace tamsel::binding
