// The payment page: the form that hands the shopper over to the payment
// server, with KWT_DATA and the forwarded fields, in three dialects.
#pragma once

#include <string_view>

#include "pages/page_output.h"

namespace revozi {

// OutputMode: the first byte of KWT_OUTPUT when it is A to E, else E.
//   A  complete page; submits itself only after KWT_WAIT
//   B  fragment: comment, form, hidden fields, button, form end
//   C  fragment: comment, form start and hidden fields only
//   D  the KWT_DATA value and a line feed
//   E  complete page that always submits itself (the default)
char outputMode(const ParamTable& table);

// KWT_WAIT as the delay of the automatic submission: only 1 to 9 ASCII
// digits are used; anything else counts as no delay.
std::string_view submitDelay(const ParamTable& table);

void writePaymentPage(const Page& page, std::string_view serverUrl);

}  // namespace revozi
