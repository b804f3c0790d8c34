// Per-object borrow guards for Python objects whose calls may run Python code that reaches the
// same object (a value's conversion, a mapping's items(), an object's __array__) or that
// another thread may call meanwhile: readers share the object, an editor holds it alone.
// `Obj` has an `int borrow` member: the number of readers, or -1 while an editor holds it.
#pragma once

#include <Python.h>

#include "python/errors.hpp"

namespace vexlo::py {

template <class Obj>
class SharedUse {
  public:
    explicit SharedUse(Obj& obj) : obj_(obj) {
        if (obj_.borrow < 0) raise(PyExc_RuntimeError, "Already mutably borrowed");
        ++obj_.borrow;
    }
    ~SharedUse() { --obj_.borrow; }
    SharedUse(const SharedUse&) = delete;
    SharedUse& operator=(const SharedUse&) = delete;

  private:
    Obj& obj_;
};

template <class Obj>
class ExclusiveUse {
  public:
    explicit ExclusiveUse(Obj& obj) : obj_(obj) {
        if (obj_.borrow != 0) raise(PyExc_RuntimeError, "Already borrowed");
        obj_.borrow = -1;
    }
    ~ExclusiveUse() { obj_.borrow = 0; }
    ExclusiveUse(const ExclusiveUse&) = delete;
    ExclusiveUse& operator=(const ExclusiveUse&) = delete;

  private:
    Obj& obj_;
};

}  // namespace vexlo::py
