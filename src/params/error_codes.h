// The program's error codes: the negative numbers that reach the user, in
// the error page ("code %d") or the redirect ("?NUMERR="). The table of
// codes in docs/reference.md is checked against kErrorCodes.
#pragma once

namespace revozi {

// Error codes that reach the user (error page or NUMERR= of the redirect).
enum ErrorCode : int {
  kErrNoMemory = -2,       // an allocation failed
  kErrNoRequest = -3,      // POST without CONTENT_LENGTH, GET without query
  kErrBadUrl = -4,         // a URL parameter longer than 150 bytes, or with a control byte
  kErrOptionsOpen = -5,    // the options file cannot be opened
  kErrOptionsLine = -6,    // an options-file line without '=' (or too long)
  kErrMissing = -7,        // a required parameter is empty
  kErrNotDigits = -8,      // a non-digit in a numeric parameter
  kErrSiteLength = -9,
  kErrRangLength = -10,
  kErrTotalLength = -11,
  kErrCode3Length = -12,   // KWT_DEVISE or KWT_LANGUE not 3 bytes
  kErrCmdLength = -13,
  kErrDataFieldTooLong = -14,  // a payment-data field longer than 9999 bytes
  kErrBodyTooLarge = -15,      // a POST body announced larger than 1 MiB
  kErrEmail = -16,
  kErrKey = -17,
  kErrBanqueLength = -19,
};

// Every code the module can produce, in the order of docs/reference.md.
inline constexpr ErrorCode kErrorCodes[] = {
    kErrNoMemory,   kErrNoRequest,   kErrBadUrl,      kErrOptionsOpen, kErrOptionsLine,
    kErrMissing,    kErrNotDigits,   kErrSiteLength,  kErrRangLength,  kErrTotalLength,
    kErrCode3Length, kErrCmdLength,  kErrDataFieldTooLong, kErrBodyTooLarge, kErrEmail,
    kErrKey,        kErrBanqueLength,
};

}  // namespace revozi
