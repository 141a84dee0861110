// One submitted order as the broker reports it. The broker client fills it from the broker's
// order list; reconciliation reads it to journal fills. It lives in its own header so that the
// broker client and the pipeline can both use it without depending on each other.
#pragma once

#include <optional>
#include <string>

namespace vavev_aziz {

struct BrokerStatus {
  std::optional<double> avg_price;      // average fill price; absent when the broker gives none
  std::optional<double> actual_credit;  // net credit received; the broker client never fills it
  std::string client_order_id;          // the journal's id for the order
  std::string status;                   // the broker's status word; "unknown" when none given
  double filled_qty = 0;                // quantity filled so far
  double qty = 0;                       // quantity ordered
};

}  // namespace vavev_aziz
