// `diary`: the agent's prose diary, diary.md in the account's state folder.
//
// The file is plain UTF-8 Markdown that only ever grows. Each filed entry is appended in one
// write as a line end, a heading "## {stamp} · {tag}" (stamp in UTC, "2026-01-05 09:07:03Z"),
// a line end, an empty line, the entry text and a line end. Reading splits the whole file at
// every line end followed by "## ", so a hand-written "## " heading starts an entry too.
#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "commands.hpp"
#include "options.hpp"
#include "paths.hpp"
#include "vavev_aziz/support/numbers.hpp"
#include "vavev_aziz/support/platform.hpp"
#include "vavev_aziz/support/text.hpp"

namespace trade {
namespace {

namespace fs = std::filesystem;
using vavev_aziz::text::trim;

constexpr std::string_view kUsage =
    "tovra trade diary \"<what you saw, what you concluded, and why>\"\n"
    "  tovra trade diary --read [N]   the last N entries (default 5)\n";

constexpr std::string_view kEntryBreak = "\n## ";

Exit usage(Io io) {
  io.err << kUsage;
  return Exit::Error;
}

// The first argument that looks like an option ("--" and more, or "--" alone) but is neither
// "--tag" nor "--read"; checked before anything else, values of "--tag" included.
const std::string* unknown_flag(const Args& args) {
  for (const auto& a : args)
    if (a.size() >= 2 && a.compare(0, 2, "--") == 0 && a != "--tag" && a != "--read") return &a;
  return nullptr;
}

// How many entries read mode prints, or absent for write mode. No argument at all asks for the
// last entry; "read" as the first argument or "--read" anywhere take the count after it, 5
// when it is missing or not a whole number.
std::optional<std::uint64_t> read_count(const Args& args) {
  if (args.empty()) return 0;
  const auto count = [](const std::optional<std::string>& text) -> std::uint64_t {
    if (!text) return 5;
    return vavev_aziz::numbers::parse_whole(*text).value_or(5);
  };
  if (args.front() == "read")
    return count(args.size() > 1 ? std::optional<std::string>(args[1]) : std::nullopt);
  if (has(args, "--read")) return count(value_of(args, "--read"));
  return std::nullopt;
}

std::vector<std::string_view> split_entries(std::string_view text) {
  std::vector<std::string_view> pieces;
  for (auto at = text.find(kEntryBreak); at != std::string_view::npos;
       at = text.find(kEntryBreak)) {
    pieces.push_back(text.substr(0, at));
    text.remove_prefix(at + kEntryBreak.size());
  }
  pieces.push_back(text);
  return pieces;
}

// A piece's text without its heading marks: every leading "## ", then every leading "#" (so
// "### x" shows as "## x" like any entry), then white space at both ends.
std::string_view entry_body(std::string_view piece) {
  while (piece.substr(0, 3) == "## ")
    piece.remove_prefix(3);
  while (!piece.empty() && piece.front() == '#')
    piece.remove_prefix(1);
  return trim(piece);
}

// The diary's text; a missing or unreadable file is empty. A diary past the largest whole
// read is only ever added to, and read from its end: its last part, from the first entry that
// starts there.
std::string diary_text(const fs::path& path) {
  namespace platform = vavev_aziz::platform;
  auto whole = platform::read_file(path);
  if (whole) return std::move(*whole);
  if (whole.error() != std::errc::file_too_large) return {};
  auto end = platform::read_file_end(path, platform::kLargestFile);
  const auto first = end ? end->find("\n## ") : std::string::npos;
  if (first == std::string::npos) return {};
  return end->substr(first);
}

Exit read_entries(const fs::path& path, std::uint64_t count, Io io) {
  const std::string text = diary_text(path);
  if (vavev_aziz::text::is_blank(text)) {
    io.out << "no diary yet (" << path.string() << ")\n";
    return Exit::Ok;
  }
  const auto pieces = split_entries(text);
  const auto shown = std::min<std::uint64_t>(std::max<std::uint64_t>(count, 1), pieces.size());
  io.out << path.string() << "\n\n";
  for (auto i = pieces.size() - shown; i < pieces.size(); ++i) {
    const auto body = entry_body(pieces[i]);
    if (!body.empty()) io.out << "## " << body << "\n\n";
  }
  return Exit::Ok;
}

// "{:04}-{:02}-{:02} {:02}:{:02}:{:02}Z" in UTC, from the wall clock's whole seconds (0 when it
// reads before the epoch).
std::string utc_stamp() {
  using namespace std::chrono;
  const sys_seconds at(seconds(static_cast<std::int64_t>(vavev_aziz::platform::now_seconds())));
  const auto day = floor<days>(at);
  const year_month_day date(day);
  const hh_mm_ss time(at - day);
  return fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}Z", static_cast<int>(date.year()),
                     static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                     time.hours().count(), time.minutes().count(), time.seconds().count());
}

// Every argument except "--tag" and its value, joined with single blanks and trimmed.
std::string entry_text(const Args& args) {
  std::string joined;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--tag") {
      ++i;
      continue;
    }
    if (!joined.empty()) joined += ' ';
    joined += args[i];
  }
  return std::string(trim(joined));
}

Exit file_entry(const fs::path& path, const Args& args, Io io) {
  const std::string text = entry_text(args);
  if (text.empty()) return usage(io);
  const std::string stamp = utc_stamp();
  const std::string tag = value_of(args, "--tag").value_or("turn");

  // A folder that cannot be made shows up as the open's failure just below.
  (void)vavev_aziz::platform::create_folders(path.parent_path());
  auto file = vavev_aziz::platform::AppendFile::open(path);
  if (!file)
    return fail(io.err, "diary write FAILED (" + path.string() + "): " + file.error().message());
  if (auto written = file->write(fmt::format("\n## {} \u00b7 {}\n\n{}\n", stamp, tag, text));
      !written)
    return fail(io.err, "diary write FAILED: " + written.error().message());
  io.out << "filed \u2192 " << path.string() << " (" << stamp << ")\n";
  return Exit::Ok;
}

}  // namespace

Exit cmd_diary(const Args& args, Io io) {
  const auto path = state_path("diary.md");
  if (!path) return no_path(io.err, path.error());
  if (const auto* unknown = unknown_flag(args)) {
    io.err << "tovra trade: unknown flag " << *unknown << '\n';
    return usage(io);
  }
  if (const auto count = read_count(args)) return read_entries(*path, *count, io);
  return file_entry(*path, args, io);
}

}  // namespace trade
