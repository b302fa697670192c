// The native service table bound for one test, and restored as it was when the test ends,
// whatever entries the test put in place of the bound ones.
#pragma once

#include "native/native_services.h"

class BoundServices {
 public:
  BoundServices()
      : saved_(NativeServices), missing_(BindNativeServices()), bound_(NativeServices) {}
  ~BoundServices() { NativeServices = saved_; }
  BoundServices(const BoundServices&) = delete;
  BoundServices& operator=(const BoundServices&) = delete;

  // The entry the platform lacks, or nullptr when every one was bound.
  const char* Missing() const { return missing_; }
  // The table as bound, before the test replaced any entry.
  const NativeServiceTable& Bound() const { return bound_; }

 private:
  NativeServiceTable saved_;
  const char* missing_;
  NativeServiceTable bound_;
};
