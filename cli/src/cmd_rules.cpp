// `rules`: print the rule table (text or JSON), or write the starter table with `--init`.
#include <fmt/format.h>

#include <filesystem>

#include "commands.hpp"
#include "options.hpp"
#include "paths.hpp"
#include "vavev_aziz/gate.hpp"
#include "vavev_aziz/support/platform.hpp"

namespace trade {
namespace {

namespace fs = std::filesystem;
using vavev_aziz::Posture;
using vavev_aziz::Rule;

std::string posture_word(const Posture& p) {
  switch (p.kind) {
    case Posture::Kind::Deny:
      return "DENY";
    case Posture::Kind::Allow:
      return "ALLOW";
    case Posture::Kind::Ask:
      return fmt::format("ASK  ({}s)", p.ttl_secs);
    case Posture::Kind::Count:
      break;
  }
  return "ASK";
}

std::string listing(const fs::path& path, const std::vector<Rule>& rules) {
  std::string out =
      fmt::format("{} \u2014 {} rules, first match wins\n\n", path.string(), rules.size());
  for (std::size_t i = 0; i < rules.size(); ++i) {
    out +=
        fmt::format("  {:>2}. {:<10} {}\n", i + 1, posture_word(rules[i].posture), rules[i].name);
    for (const auto& p : rules[i].when)
      out += fmt::format("        when {}\n", p.debug());
  }
  out +=
      "\n  (fall-through) ASK  \u2014 an order no rule considered is asked about, never "
      "allowed\n";
  return out;
}

// Writes the starter table where nothing exists yet. The file is created new, so one that
// appeared meanwhile (another `rules --init`) is never written into. A write cut short leaves
// a prefix of the table, which never reads as a rule table, so `rules` then reports it rather
// than use it.
Exit init(const fs::path& path, Io io) {
  const auto exists = [&] {
    io.out << path.string() << " already exists \u2014 not overwritten\n";
    return Exit::Ok;
  };
  std::error_code ec;
  if (fs::exists(fs::status(path, ec))) return exists();
  const auto parent = path.parent_path();
  if (!parent.empty()) {
    if (auto made = vavev_aziz::platform::create_folders(parent); !made)
      return fail(io.err, parent.string() + ": " + made.error().message());
  }
  const std::string text = vavev_aziz::write_rules(vavev_aziz::default_rules()) + "\n";
  auto file = vavev_aziz::platform::AppendFile::create(path);
  std::error_code failed;
  if (!file) {
    if (file.error() == std::errc::file_exists) return exists();
    failed = file.error();
  } else if (auto written = file->write(text); !written) {
    failed = written.error();
  }
  if (failed) return fail(io.err, path.string() + ": " + failed.message());
  io.out << "wrote starter rule table \u2192 " << path.string() << '\n';
  return Exit::Ok;
}

}  // namespace

Exit cmd_rules(const Args& args, Io io) {
  const auto path = config_path();
  if (!path) return no_home(io.err);
  if (has(args, "--init")) return init(*path, io);
  auto gate = load_gate();
  if (!gate) return fail(io.err, gate.error());
  if (has(args, "--json")) {
    io.out << vavev_aziz::write_rules(gate->rules) << '\n';
    return Exit::Ok;
  }
  io.out << listing(*path, gate->rules);
  return Exit::Ok;
}

}  // namespace trade
