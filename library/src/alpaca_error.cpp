#include <fmt/format.h>

#include "vavev_aziz/alpaca.hpp"

namespace vavev_aziz::alpaca {
namespace {

template <class... F>
struct Overload : F... {
  using F::operator()...;
};
template <class... F>
Overload(F...) -> Overload<F...>;

}  // namespace

std::string AlpacaError::display() const {
  return std::visit(
      Overload{
          [](const NoCredentials&) -> std::string {
            return "no Alpaca credentials — set ALPACA_API_KEY and ALPACA_SECRET_KEY, or store "
                   "them in the vault";
          },
          [](const NoAccount&) -> std::string {
            return "ALPACA_ACCOUNT is not set — name the book this process means to touch (e.g. "
                   "`hackathon`, or `default` for the unsuffixed key pair). An absent selector "
                   "does not fall through to the default account: that path trades the wrong "
                   "book successfully and silently.";
          },
          [](const Http& e) { return fmt::format("alpaca {}: {}", e.status, e.body); },
          [](const Transport& e) { return fmt::format("alpaca transport: {}", e.message); },
          [](const Decode& e) {
            return fmt::format("alpaca response was not the shape we expected: {}", e.message);
          },
          [](const Refused& e) { return fmt::format("refused before the wire: {}", e.message); },
      },
      value);
}

bool AlpacaError::is_definitive_refusal() const {
  if (as_refused() != nullptr) return true;
  const Http* h = as_http();
  return h != nullptr && h->status >= 400 && h->status <= 499;
}

}  // namespace vavev_aziz::alpaca
