// The translation of PKCS#11 return values into statuses and descriptions.
#include <cstdio>

#include "p11_internal.h"

namespace vellumark::linux_platform::p11 {
namespace {

namespace st = platform::status;

struct RvRow {
  CK_RV rv;
  const char* name;
  int32_t status;
};

// Statuses: what the user can act on. A cancelled dialog or PIN pad is a
// cancel; PIN troubles are failed authentication; a gone token is "not
// available"; a key that cannot sign this way is a parameter fault.
constexpr RvRow kRows[] = {
    {CKR_OK, "CKR_OK", st::kSuccess},
    {CKR_CANCEL, "CKR_CANCEL", st::kUserCanceled},
    {CKR_HOST_MEMORY, "CKR_HOST_MEMORY", st::kNotAvailable},
    {CKR_SLOT_ID_INVALID, "CKR_SLOT_ID_INVALID", st::kNotAvailable},
    {CKR_GENERAL_ERROR, "CKR_GENERAL_ERROR", st::kNotAvailable},
    {CKR_FUNCTION_FAILED, "CKR_FUNCTION_FAILED", st::kNotAvailable},
    {CKR_ARGUMENTS_BAD, "CKR_ARGUMENTS_BAD", st::kParam},
    {CKR_ATTRIBUTE_TYPE_INVALID, "CKR_ATTRIBUTE_TYPE_INVALID", st::kParam},
    {CKR_ATTRIBUTE_VALUE_INVALID, "CKR_ATTRIBUTE_VALUE_INVALID", st::kParam},
    {CKR_DATA_INVALID, "CKR_DATA_INVALID", st::kParam},
    {CKR_DATA_LEN_RANGE, "CKR_DATA_LEN_RANGE", st::kParam},
    {CKR_DEVICE_ERROR, "CKR_DEVICE_ERROR", st::kNotAvailable},
    {CKR_DEVICE_MEMORY, "CKR_DEVICE_MEMORY", st::kNotAvailable},
    {CKR_DEVICE_REMOVED, "CKR_DEVICE_REMOVED", st::kNotAvailable},
    {CKR_FUNCTION_CANCELED, "CKR_FUNCTION_CANCELED", st::kUserCanceled},
    {CKR_FUNCTION_NOT_SUPPORTED, "CKR_FUNCTION_NOT_SUPPORTED", st::kParam},
    {CKR_KEY_HANDLE_INVALID, "CKR_KEY_HANDLE_INVALID", st::kItemNotFound},
    {CKR_KEY_TYPE_INCONSISTENT, "CKR_KEY_TYPE_INCONSISTENT", st::kParam},
    {CKR_KEY_FUNCTION_NOT_PERMITTED, "CKR_KEY_FUNCTION_NOT_PERMITTED", st::kParam},
    {CKR_MECHANISM_INVALID, "CKR_MECHANISM_INVALID", st::kParam},
    {CKR_MECHANISM_PARAM_INVALID, "CKR_MECHANISM_PARAM_INVALID", st::kParam},
    {CKR_OBJECT_HANDLE_INVALID, "CKR_OBJECT_HANDLE_INVALID", st::kItemNotFound},
    {CKR_OPERATION_ACTIVE, "CKR_OPERATION_ACTIVE", st::kNotAvailable},
    {CKR_OPERATION_NOT_INITIALIZED, "CKR_OPERATION_NOT_INITIALIZED", st::kNotAvailable},
    {CKR_PIN_INCORRECT, "CKR_PIN_INCORRECT", st::kAuthFailed},
    {CKR_PIN_INVALID, "CKR_PIN_INVALID", st::kAuthFailed},
    {CKR_PIN_LEN_RANGE, "CKR_PIN_LEN_RANGE", st::kAuthFailed},
    {CKR_PIN_EXPIRED, "CKR_PIN_EXPIRED", st::kAuthFailed},
    {CKR_PIN_LOCKED, "CKR_PIN_LOCKED", st::kAuthFailed},
    {CKR_SESSION_CLOSED, "CKR_SESSION_CLOSED", st::kNotAvailable},
    {CKR_SESSION_COUNT, "CKR_SESSION_COUNT", st::kNotAvailable},
    {CKR_SESSION_HANDLE_INVALID, "CKR_SESSION_HANDLE_INVALID", st::kNotAvailable},
    {CKR_TOKEN_NOT_PRESENT, "CKR_TOKEN_NOT_PRESENT", st::kNotAvailable},
    {CKR_TOKEN_NOT_RECOGNIZED, "CKR_TOKEN_NOT_RECOGNIZED", st::kNotAvailable},
    {CKR_USER_ALREADY_LOGGED_IN, "CKR_USER_ALREADY_LOGGED_IN", st::kSuccess},
    {CKR_USER_NOT_LOGGED_IN, "CKR_USER_NOT_LOGGED_IN", st::kAuthFailed},
    {CKR_USER_PIN_NOT_INITIALIZED, "CKR_USER_PIN_NOT_INITIALIZED", st::kAuthFailed},
    {CKR_USER_TYPE_INVALID, "CKR_USER_TYPE_INVALID", st::kParam},
    {CKR_USER_ANOTHER_ALREADY_LOGGED_IN, "CKR_USER_ANOTHER_ALREADY_LOGGED_IN", st::kAuthFailed},
    {CKR_USER_TOO_MANY_TYPES, "CKR_USER_TOO_MANY_TYPES", st::kAuthFailed},
    {CKR_BUFFER_TOO_SMALL, "CKR_BUFFER_TOO_SMALL", st::kNotAvailable},
    {CKR_CRYPTOKI_NOT_INITIALIZED, "CKR_CRYPTOKI_NOT_INITIALIZED", st::kNotAvailable},
    {CKR_CRYPTOKI_ALREADY_INITIALIZED, "CKR_CRYPTOKI_ALREADY_INITIALIZED", st::kSuccess},
};

const RvRow* findRow(CK_RV rv) {
  for (const RvRow& row : kRows) {
    if (row.rv == rv) return &row;
  }
  return nullptr;
}

}  // namespace

std::string rvName(CK_RV rv) {
  if (const RvRow* row = findRow(rv)) return row->name;
  char text[32];
  std::snprintf(text, sizeof text, "CKR_0x%08lX", rv);
  return text;
}

bool deviceTrouble(CK_RV rv) {
  switch (rv) {
    case CKR_GENERAL_ERROR:
    case CKR_FUNCTION_FAILED:
    case CKR_DEVICE_ERROR:
    case CKR_DEVICE_REMOVED:
    case CKR_TOKEN_NOT_PRESENT:
    case CKR_TOKEN_NOT_RECOGNIZED:
    case CKR_SESSION_HANDLE_INVALID:
    case CKR_SESSION_CLOSED:
    case CKR_SLOT_ID_INVALID:
      return true;
    default:
      return false;
  }
}

bool sessionLost(CK_RV rv) {
  return rv == CKR_SESSION_HANDLE_INVALID || rv == CKR_SESSION_CLOSED || rv == CKR_DEVICE_REMOVED ||
         rv == CKR_TOKEN_NOT_PRESENT || rv == CKR_SLOT_ID_INVALID;
}

Failure translate(const char* call, CK_RV rv) {
  const RvRow* row = findRow(rv);
  return Failure{row ? row->status : st::kNotAvailable, std::string(call) + ": " + rvName(rv)};
}

}  // namespace vellumark::linux_platform::p11
