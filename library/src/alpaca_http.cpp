// The HTTP layer of the broker client, on libcurl.
//
// Every request gets a fresh handle and a fresh connection, TLS 1.2 or later verified against
// the Mozilla roots compiled into the program only, no proxy, gzip answers, a body limit and one
// deadline for the whole request. The roots are read once per process into one certificate
// store that every handle borrows, each root decoded only when a server's chain needs it.
// Redirects of a GET are followed here rather than by libcurl, which would forward the
// credential headers to whatever host a redirect names; a POST places an order and is never
// redirected.
#include <curl/curl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <chrono>
#include <climits>
#include <memory>
#include <vector>

#include <fmt/format.h>

#include "vavev_aziz/alpaca.hpp"
#include "vavev_aziz/support/text.hpp"

namespace vavev_aziz::alpaca::http {

// Generated at build time from the Mozilla certificate set (see library/CMakeLists.txt).
extern const unsigned char kMozillaRoots[];
extern const std::size_t kMozillaRootsSize;

namespace {

struct EasyFree {
  void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct ListFree {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
struct UrlFree {
  void operator()(CURLU* u) const { curl_url_cleanup(u); }
};
struct TextFree {
  void operator()(char* p) const { curl_free(p); }
};
using Easy = std::unique_ptr<CURL, EasyFree>;
using HeaderList = std::unique_ptr<curl_slist, ListFree>;
using Url = std::unique_ptr<CURLU, UrlFree>;
using CurlText = std::unique_ptr<char, TextFree>;

// libcurl's global set-up must run once before any handle; a function-local static makes that
// thread-safe without a global.
void ensure_initialised() {
  static const CURLcode once = curl_global_init(CURL_GLOBAL_DEFAULT);
  (void)once;
}

// The parts of an address that decide where the credentials go.
struct Origin {
  std::string scheme;
  std::string host;
  std::string port;
  bool operator==(const Origin&) const = default;
};

std::optional<std::string> part(CURLU* url, CURLUPart which, unsigned flags = 0) {
  char* raw = nullptr;
  if (curl_url_get(url, which, &raw, flags) != CURLUE_OK || raw == nullptr) return std::nullopt;
  CurlText owned(raw);
  return std::string(owned.get());
}

Result<Origin, std::string> origin_of(CURLU* url) {
  auto scheme = part(url, CURLUPART_SCHEME);
  auto host = part(url, CURLUPART_HOST);
  auto port = part(url, CURLUPART_PORT, CURLU_DEFAULT_PORT);
  if (!scheme || !host || !port) return Err{std::string("the address has no scheme or host")};
  return Origin{text::ascii_lower(*scheme), text::ascii_lower(*host), *port};
}

// Parses an absolute http or https address; the handle is what libcurl will then use, so the
// host checked here is the host connected to.
Result<Url, std::string> parse_url(std::string_view address) {
  // A NUL would silently cut the address short: another request than the one asked for.
  if (address.find('\0') != std::string_view::npos)
    return Err{std::string("invalid address: it holds a NUL character")};
  Url url(curl_url());
  if (!url) return Err{std::string("out of memory")};
  const std::string text(address);
  if (auto rc = curl_url_set(url.get(), CURLUPART_URL, text.c_str(), 0); rc != CURLUE_OK)
    return Err{
        fmt::format("invalid address {}: {}", text::debug_quoted(text), curl_url_strerror(rc))};
  return url;
}

// Credentials travel in clear text only to this machine.
bool plain_http_allowed(const Origin& o) {
  return o.scheme == "https" ||
         (o.scheme == "http" && (o.host == "127.0.0.1" || o.host == "localhost"));
}

struct Sink {
  std::string body;
  std::size_t limit = 0;
  bool too_large = false;
};

std::size_t collect(char* data, std::size_t size, std::size_t count, void* user) {
  auto* sink = static_cast<Sink*>(user);
  const std::size_t n = size * count;
  if (sink->body.size() + n > sink->limit) {
    sink->too_large = true;
    return 0;  // libcurl stops the transfer with a write error
  }
  sink->body.append(data, n);
  return n;
}

bool has_line_break(std::string_view s) {
  return s.find_first_of("\r\n") != std::string_view::npos;
}

struct StoreFree {
  void operator()(X509_STORE* s) const { X509_STORE_free(s); }
};
struct BioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};
using Store = std::unique_ptr<X509_STORE, StoreFree>;

// A set of trusted roots and the certificate store that verifies against them. Decoding a
// certificate is the costly step (about 0.1 ms each with OpenSSL 3.0, mostly its public key),
// so the roots are kept as DER and a root enters the store only when a server's chain names it
// as an issuer. The store keeps what was decoded for every later request of the process.
class Roots {
 public:
  // Every CERTIFICATE block of a PEM text; an error when the text holds none or does not read
  // as PEM, so a damaged set never turns into trusting nothing without a word.
  static Result<std::unique_ptr<Roots>, std::string> from_pem(std::string_view pem) {
    if (pem.size() > static_cast<std::size_t>(INT_MAX))
      return Err{std::string("the trusted roots are too large")};
    std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    auto roots = std::unique_ptr<Roots>(new Roots(Store(X509_STORE_new())));
    if (!bio || !roots->store_) return Err{std::string("out of memory")};
    for (;;) {
      char* name = nullptr;
      char* header = nullptr;
      unsigned char* der = nullptr;
      long size = 0;
      if (PEM_read_bio(bio.get(), &name, &header, &der, &size) != 1) break;
      if (std::string_view(name) == "CERTIFICATE")
        roots->roots_.push_back(
            {std::string(reinterpret_cast<const char*>(der), static_cast<std::size_t>(size))});
      OPENSSL_free(name);
      OPENSSL_free(header);
      OPENSSL_free(der);
    }
    // The read ends at the text's end, which OpenSSL reports as "no start line".
    const unsigned long last = ERR_peek_last_error();
    ERR_clear_error();
    if (ERR_GET_REASON(last) != PEM_R_NO_START_LINE)
      return Err{std::string("the trusted roots do not read as PEM certificates")};
    if (roots->roots_.empty()) return Err{std::string("the trusted roots hold no certificate")};
    return roots;
  }

  X509_STORE* store() const { return store_.get(); }

  // Before the chain of `ctx` is verified: every root whose bytes hold the issuer name of a
  // certificate in the chain (or of a root so loaded) joins the store. Names are matched as
  // bytes, as issuers write them; when no root matches at all, every root is loaded, so a name
  // that matches only after OpenSSL's own comparison still finds its root.
  void load_issuers_of(X509_STORE_CTX* ctx) {
    std::vector<std::string_view> names;
    add_issuer(X509_STORE_CTX_get0_cert(ctx), names);
    STACK_OF(X509)* chain = X509_STORE_CTX_get0_untrusted(ctx);
    for (int i = 0; chain != nullptr && i < sk_X509_num(chain); ++i)
      add_issuer(sk_X509_value(chain, i), names);
    bool named = false;
    for (std::size_t n = 0; n < names.size(); ++n) {
      for (Root& root : roots_) {
        if (root.der.find(names[n]) == std::string::npos) continue;
        named = true;
        if (X509* added = load(root)) add_issuer(added, names);
      }
    }
    if (!named)
      for (Root& root : roots_)
        load(root);
  }

 private:
  struct Root {
    std::string der;
    bool loaded = false;
  };

  explicit Roots(Store store) : store_(std::move(store)) {}

  static void add_issuer(X509* cert, std::vector<std::string_view>& names) {
    const unsigned char* der = nullptr;
    std::size_t size = 0;
    if (cert == nullptr || X509_NAME_get0_der(X509_get_issuer_name(cert), &der, &size) != 1 ||
        size == 0)
      return;
    names.emplace_back(reinterpret_cast<const char*>(der), size);
  }

  // Decodes a root into the store once; the certificate the store now holds, or null when it
  // was already there or did not decode (a root that does not decode trusts nothing).
  X509* load(Root& root) {
    if (root.loaded) return nullptr;
    root.loaded = true;
    const auto* p = reinterpret_cast<const unsigned char*>(root.der.data());
    X509* cert = d2i_X509(nullptr, &p, static_cast<long>(root.der.size()));
    const bool added = cert != nullptr && X509_STORE_add_cert(store_.get(), cert) == 1;
    X509_free(cert);  // the store keeps a reference of its own
    if (!added) {
      ERR_clear_error();
      return nullptr;
    }
    return cert;
  }

  std::vector<Root> roots_;
  Store store_;
};

// The compiled-in roots, indexed on first use and kept for the life of the process.
const Result<std::unique_ptr<Roots>, std::string>& compiled_in_roots() {
  static const auto roots = Roots::from_pem(
      std::string_view(reinterpret_cast<const char*>(kMozillaRoots), kMozillaRootsSize));
  return roots;
}

// An SSL_CTX handed over by libcurl can be given our store only when libcurl runs on the very
// OpenSSL this library calls; with any other TLS library each handle reads the PEM text itself.
bool curl_uses_our_openssl() {
  static const bool same = [] {
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    if (info == nullptr || info->ssl_version == nullptr) return false;
    return std::string_view(info->ssl_version) ==
           fmt::format("OpenSSL/{}.{}.{}", OPENSSL_version_major(), OPENSSL_version_minor(),
                       OPENSSL_version_patch());
  }();
  return same;
}

// Where one request's trusted roots come from: the roots the handles share, or, when libcurl
// cannot take them, the PEM text it parses per handle. Plain http (to this machine) needs none.
struct Trust {
  Roots* roots = nullptr;
  std::string_view pem;
  std::unique_ptr<Roots> owned;  // roots given for this request alone
};

Result<Trust, std::string> trust_for(const Origin& origin, const Settings& settings) {
  Trust trust;
  if (origin.scheme != "https") return trust;
  trust.pem =
      settings.trusted_roots_pem.empty()
          ? std::string_view(reinterpret_cast<const char*>(kMozillaRoots), kMozillaRootsSize)
          : settings.trusted_roots_pem;
  if (!curl_uses_our_openssl()) return trust;
  if (settings.trusted_roots_pem.empty()) {
    const auto& shared = compiled_in_roots();
    if (!shared) return Err{shared.error()};
    trust.roots = shared->get();
  } else {
    auto own = Roots::from_pem(settings.trusted_roots_pem);
    if (!own) return Err{std::move(own).error()};
    trust.owned = std::move(*own);
    trust.roots = trust.owned.get();
  }
  return trust;
}

int verify_against(X509_STORE_CTX* ctx, void* roots) {
  static_cast<Roots*>(roots)->load_issuers_of(ctx);
  return X509_verify_cert(ctx);
}

// libcurl's hook into each connection's fresh SSL_CTX: swap in the shared store and load the
// roots a chain needs before verifying it. The context takes one reference of its own, so the
// store outlives every handle that borrowed it.
CURLcode use_roots(CURL*, void* ssl_ctx, void* roots) {
  auto* r = static_cast<Roots*>(roots);
  auto* ctx = static_cast<SSL_CTX*>(ssl_ctx);
  if (X509_STORE_up_ref(r->store()) != 1) return CURLE_OUT_OF_MEMORY;
  SSL_CTX_set_cert_store(ctx, r->store());
  SSL_CTX_set_cert_verify_callback(ctx, verify_against, r);
  return CURLE_OK;
}

struct HopResult {
  Answer answer;
  std::optional<std::string> redirect;  // the absolute address of a redirect, when one came
};

Result<HopResult, std::string> one_hop(CURLU* url, const Request& request, const Settings& settings,
                                       const Trust& trust, std::chrono::milliseconds time_left) {
  Easy easy(curl_easy_init());
  if (!easy) return Err{std::string("could not create a request handle")};
  CURL* c = easy.get();

  HeaderList headers;
  auto add = [&headers](const std::string& line) -> bool {
    curl_slist* next = curl_slist_append(headers.get(), line.c_str());
    if (next == nullptr) return false;
    (void)headers.release();
    headers.reset(next);
    return true;
  };
  bool added = add(fmt::format("APCA-API-KEY-ID: {}", request.key_id)) &&
               add(fmt::format("APCA-API-SECRET-KEY: {}", request.secret_key));
  if (request.json_body) added = added && add("Content-Type: application/json");
  if (!added) return Err{std::string("out of memory")};

  Sink sink;
  sink.limit = settings.max_body;
  char error_text[CURL_ERROR_SIZE] = {0};

  curl_easy_setopt(c, CURLOPT_CURLU, url);
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(c, CURLOPT_PROXY, "");
  curl_easy_setopt(c, CURLOPT_NOPROXY, "*");
  curl_easy_setopt(c, CURLOPT_FRESH_CONNECT, 1L);
  curl_easy_setopt(c, CURLOPT_FORBID_REUSE, 1L);
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(time_left.count()));
  curl_easy_setopt(c, CURLOPT_ACCEPT_ENCODING, "gzip");
  // TLS 1.0 and 1.1 are refused, whatever the system's TLS settings allow.
  curl_easy_setopt(c, CURLOPT_SSLVERSION, CURL_SSLVERSION_TLSv1_2);
  // Only the compiled-in roots: no bundle file and no certificate folder of the system.
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(c, CURLOPT_CAINFO, nullptr);
  curl_easy_setopt(c, CURLOPT_CAPATH, nullptr);
  curl_blob blob{const_cast<char*>(trust.pem.data()), trust.pem.size(), CURL_BLOB_NOCOPY};
  if (trust.roots != nullptr) {
    if (curl_easy_setopt(c, CURLOPT_SSL_CTX_FUNCTION, use_roots) != CURLE_OK)
      return Err{std::string("libcurl does not take the trusted roots as a certificate store")};
    curl_easy_setopt(c, CURLOPT_SSL_CTX_DATA, trust.roots);
  } else if (!trust.pem.empty()) {
    curl_easy_setopt(c, CURLOPT_CAINFO_BLOB, &blob);
  }
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &sink);
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, error_text);
  if (request.method == Method::Post) {
    const std::string_view body = request.json_body.value_or(std::string_view());
    curl_easy_setopt(c, CURLOPT_POST, 1L);
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, body.data());
  } else {
    curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);
  }

  const CURLcode rc = curl_easy_perform(c);
  long status = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
  std::string failure;
  if (rc != CURLE_OK) {
    failure = sink.too_large ? fmt::format("the answer is larger than {} bytes", settings.max_body)
              : error_text[0] != '\0' ? fmt::format("{}: {}", curl_easy_strerror(rc), error_text)
                                      : std::string(curl_easy_strerror(rc));
    if (status == 0) return Err{failure};
  }

  HopResult out;
  out.answer.status = static_cast<std::uint16_t>(status);
  if (rc != CURLE_OK) {
    out.answer.body_error = failure;
  } else if (!text::valid_utf8(sink.body)) {
    out.answer.body_error = "the answer is not valid UTF-8 text";
  } else {
    out.answer.body = std::move(sink.body);
  }
  if (status == 301 || status == 302 || status == 303 || status == 307 || status == 308) {
    char* location = nullptr;
    if (curl_easy_getinfo(c, CURLINFO_REDIRECT_URL, &location) == CURLE_OK && location != nullptr)
      out.redirect = std::string(location);
  }
  return out;
}

}  // namespace

Result<Answer, std::string> send(const Request& request, const Settings& settings) {
  ensure_initialised();
  if (has_line_break(request.key_id) || has_line_break(request.secret_key))
    return Err{std::string("the credentials hold a line break; they were not sent")};

  using SteadyClock = std::chrono::steady_clock;
  const auto deadline = SteadyClock::now() + settings.time_limit;
  auto first = parse_url(request.url);
  if (!first) return Err{first.error()};
  Url url = std::move(*first);
  auto origin = origin_of(url.get());
  if (!origin) return Err{origin.error()};
  if (!plain_http_allowed(*origin))
    return Err{
        fmt::format("refusing to send the credentials to {}://{}: only https, or plain "
                    "http to this machine",
                    origin->scheme, origin->host)};

  // Redirects keep the scheme, so the first address decides for every hop.
  auto trust = trust_for(*origin, settings);
  if (!trust) return Err{trust.error()};

  for (int redirects = 0;; ++redirects) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
    if (left.count() <= 0) return Err{std::string("the request took longer than its time limit")};
    auto done = one_hop(url.get(), request, settings, *trust, left);
    if (!done) return Err{done.error()};
    const auto status = done->answer.status;
    if (status < 300 || status > 399) return std::move(done->answer);
    // The broker may have taken the order before redirecting: sending it again could place it
    // twice, and the other address's answer says nothing about it. Its fate stays unknown.
    if (request.method == Method::Post)
      return Err{fmt::format(
          "the broker answered the order with a redirect ({}), which is not followed: it may "
          "hold the order, so it is neither sent again nor looked for elsewhere",
          status)};
    if (!done->redirect)
      return Err{fmt::format("the broker answered {} with no address to follow", status)};

    if (redirects >= settings.max_redirects)
      return Err{fmt::format("too many redirects (more than {})", settings.max_redirects)};
    auto next = parse_url(*done->redirect);
    if (!next) return Err{next.error()};
    auto next_origin = origin_of(next->get());
    if (!next_origin || !(*next_origin == *origin))
      return Err{
          fmt::format("refusing to follow a redirect to {}: the credentials go only to "
                      "the host that was asked",
                      *done->redirect)};
    url = std::move(*next);
  }
}

}  // namespace vavev_aziz::alpaca::http

namespace vavev_aziz::alpaca::http {

Result<std::string, AlpacaError> fetch(const Request& request, std::size_t error_chars) {
  auto sent = send(request);
  if (!sent) return Err{AlpacaError::transport(std::move(sent).error())};
  Answer& answer = *sent;
  if (answer.status >= 400) {
    std::string body = answer.body_error ? std::string()
                                         : std::string(text::first_chars(answer.body, error_chars));
    return Err{AlpacaError::http(answer.status, std::move(body))};
  }
  if (answer.body_error) return Err{AlpacaError::transport(std::move(*answer.body_error))};
  return std::move(answer.body);
}

}  // namespace vavev_aziz::alpaca::http
