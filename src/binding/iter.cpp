// TamselVonkIter: hands out the finished results of one input() call.
#include <cstddef>
#include <new>
#include <vector>

#include "binding/borrow.h"
#include "binding/types.h"

namespace tamsel::binding {
namespace {

// Made in place after tp_alloc and destroyed in dealloc, as the state of
// every type here is: creating an iterator costs one allocation besides its
// items.
struct IterState {
  std::vector<PyObject*> items;  // strong references not yet handed out
  size_t cursor = 0;
  BorrowFlag borrow;
};

struct IterObject {
  PyObject_HEAD
  IterState state;
};

IterState& iter_state(PyObject* self) { return reinterpret_cast<IterObject*>(self)->state; }

PyObject* iter_iter(PyObject* self) {
  SharedBorrow borrow(iter_state(self).borrow);
  if (!borrow.held()) return nullptr;
  Py_INCREF(self);
  return self;
}

PyObject* iter_next(PyObject* self) {
  IterState& it = iter_state(self);
  ExclusiveBorrow borrow(it.borrow);
  if (!borrow.held()) return nullptr;
  if (it.cursor < it.items.size()) {
    PyObject* item = it.items[it.cursor];
    it.items[it.cursor++] = nullptr;  // the caller now owns it
    return item;
  }
  return nullptr;  // exhausted: StopIteration, for this and every later call
}

void iter_dealloc(PyObject* self) {
  IterState& it = iter_state(self);
  for (size_t i = it.cursor; i < it.items.size(); ++i) Py_XDECREF(it.items[i]);
  it.~IterState();
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot iter_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(iter_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(iter_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(iter_next)},
    {0, nullptr},
};

PyType_Spec iter_spec = {
    "tamsel_vonk.TamselVonkIter",
    sizeof(IterObject),
    0,
    Py_TPFLAGS_DEFAULT,
    iter_slots,
};

void release_all(std::vector<PyObject*>& items) {
  for (PyObject* item : items) Py_XDECREF(item);
  items.clear();
}

}  // namespace

PyTypeObject* iter_type() {
  static PyObject* type = nullptr;
  if (!type) type = PyType_FromSpec(&iter_spec);
  return reinterpret_cast<PyTypeObject*>(type);
}

PyObject* new_iter(std::vector<PyObject*> items) {
  PyTypeObject* type = iter_type();
  PyObject* self = type ? type->tp_alloc(type, 0) : nullptr;
  if (!self) {
    release_all(items);
    return nullptr;
  }
  IterState& it = *new (&iter_state(self)) IterState();  // cannot throw
  it.items = std::move(items);
  return self;
}

}  // namespace tamsel::binding
