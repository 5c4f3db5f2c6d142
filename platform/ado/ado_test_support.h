#ifndef TAVRIN_PLATFORM_ADO_ADO_TEST_SUPPORT_H_
#define TAVRIN_PLATFORM_ADO_ADO_TEST_SUPPORT_H_

// For tests only.

#include <functional>

#include "platform/ado/com_error.h"

namespace tavrin::ado::test {

// The error code of the _com_error that `f` throws; 0 when it throws none.
inline HRESULT ErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const _com_error& e) {
    return e.Error();
  }
  return 0;
}

}  // namespace tavrin::ado::test

#endif  // TAVRIN_PLATFORM_ADO_ADO_TEST_SUPPORT_H_
