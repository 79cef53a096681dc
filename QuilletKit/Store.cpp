#include "QuilletKit/Store.hpp"

#include <sys/stat.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <cerrno>
#include <ctime>

#include "QuilletKit/Files.hpp"
#include "QuilletKit/Localization.hpp"
#include "QuilletKit/Paths.hpp"
#include "QuilletKit/Text.hpp"
#include "QuilletKit/Transcript.hpp"

namespace quillet {

namespace fs = std::filesystem;

namespace {

constexpr const char* kMeta = "meta.json";
constexpr const char* kNotes = "notas.md";
constexpr const char* kEnhanced = "notas-ia.md";
constexpr const char* kTranscript = "transcricao.jsonl";
constexpr const char* kTranscriptMarkdown = "transcricao.md";

// Folder names stay well inside the 255-byte limit of common file systems.
constexpr size_t kMaxTitleBytes = 200;

[[noreturn]] void throwError(const fs::path& path, int error) {
  throw fs::filesystem_error(std::generic_category().message(error), path,
                             std::error_code(error, std::generic_category()));
}

bool breaksFolderName(UChar32 c) {
  switch (c) {
    case '/': case ':': case '\\': case '?': case '%': case '*': case '|': case '"': case '<': case '>':
    case 0x85: case 0x2028: case 0x2029:
      return true;
    default:
      break;
  }
  int8_t type = u_charType(c);
  return type == U_CONTROL_CHAR || type == U_FORMAT_CHAR;
}

std::string cleanedTitle(const std::string& title) {
  icu::UnicodeString u = icu::UnicodeString::fromUTF8(title);
  icu::UnicodeString cleaned;
  for (int32_t i = 0; i < u.length(); i = u.moveIndex32(i, 1)) {
    UChar32 c = u.char32At(i);
    cleaned.append(breaksFolderName(c) ? UChar32('-') : c);
  }
  std::string utf8;
  cleaned.toUTF8String(utf8);
  std::string trimmed = text::trimSpaces(utf8);
  std::string cut = text::prefixCharacters(trimmed, 60);
  // Drop whole characters until the name fits the file system.
  for (size_t n = text::characterCount(cut); cut.size() > kMaxTitleBytes && n > 0;)
    cut = text::prefixCharacters(cut, --n);
  return cut;
}

std::optional<std::string> readText(const fs::path& path) {
  auto bytes = files::read(path, files::kTextFileLimit);
  if (!bytes) return std::nullopt;
  // A stray invalid byte must not blank the whole text.
  return text::repairUtf8(*bytes);
}

}  // namespace

std::vector<Segment> Store::segments(const fs::path& folder) const {
  std::vector<Segment> result;
  // One buffer per thread serves every transcript a listing reads.
  thread_local std::string buffer;
  files::forEachLine(folder / kTranscript, files::kLineLimit, buffer, [&result](std::string_view line) {
    if (line.empty()) return;
    if (auto segment = decodeSegmentLine(line)) result.push_back(std::move(*segment));
  });
  // A transcript of outsized lines does not keep its memory for the thread's life.
  if (buffer.capacity() > (1u << 20)) std::string().swap(buffer);
  return result;
}

std::optional<Meeting> Store::load(const fs::path& folder) const {
  auto metaBytes = files::read(folder / kMeta, files::kSmallFileLimit);
  if (!metaBytes) return std::nullopt;
  auto meta = decodeMeta(*metaBytes);
  if (!meta) return std::nullopt;
  Meeting meeting{std::move(*meta), folder, readText(folder / kNotes).value_or(""),
                  readText(folder / kEnhanced), segments(folder)};
  return meeting;
}

std::vector<Meeting> Store::list() const {
  std::vector<fs::path> folders;
  std::error_code error;
  fs::directory_iterator entries(root, error);
  if (error) return {};
  for (fs::directory_iterator end; entries != end; entries.increment(error)) {
    if (error) break;
    const fs::path& path = entries->path();
    if (!path.filename().string().starts_with(".")) folders.push_back(path);
  }
  // Large stores are read on every core: listing is what users wait for.
  std::vector<std::optional<Meeting>> loaded(folders.size());
  std::atomic<size_t> next{0};
  auto work = [&] {
    for (size_t i; (i = next.fetch_add(1)) < folders.size();) loaded[i] = load(folders[i]);
  };
  {
    // The calling thread reads too, alone when no helper could start.
    std::vector<std::jthread> helpers = files::startThreads(files::readers(folders.size()) - 1, work);
    work();
  }
  std::vector<Meeting> meetings;
  for (auto& meeting : loaded)
    if (meeting) meetings.push_back(std::move(*meeting));
  std::stable_sort(meetings.begin(), meetings.end(),
                   [](const Meeting& a, const Meeting& b) { return a.meta.start > b.meta.start; });
  return meetings;
}

Meeting Store::create(const MeetingMeta& meta) const {
  fs::create_directories(root);
  const std::string base = folderName(meta);
  fs::path folder = root / base;
  // mkdir fails on an existing name, so two creators never share a folder.
  for (int counter = 2; ::mkdir(folder.c_str(), 0777) != 0; ++counter) {
    if (errno != EEXIST) throwError(folder, errno);
    folder = root / (base + " " + std::to_string(counter));
  }
  Meeting meeting{meta, folder, "", std::nullopt, {}};
  save(meeting);
  return meeting;
}

void Store::save(const Meeting& meeting) const {
  files::writeAtomically(meeting.folder / kMeta, encodeMeta(meeting.meta), *env);
  files::writeAtomically(meeting.folder / kNotes, meeting.notes, *env);
  if (meeting.enhanced) {
    files::writeAtomically(meeting.folder / kEnhanced, *meeting.enhanced, *env);
  } else {
    std::error_code ignored;
    fs::remove(meeting.folder / kEnhanced, ignored);
    files::removeAbandonedTemporaries(meeting.folder / kEnhanced, *env);
  }
}

void Store::saveNotes(const Meeting& meeting) const {
  files::writeAtomically(meeting.folder / kNotes, meeting.notes, *env);
}

void Store::saveEnhanced(const fs::path& folder, const std::string& enhanced, const std::string& model) const {
  auto bytes = files::read(folder / kMeta, files::kSmallFileLimit);
  auto meta = bytes ? decodeMeta(*bytes) : std::nullopt;
  if (!meta) throwError(folder / kMeta, bytes ? EINVAL : ENOENT);
  const fs::path enhancedFile = folder / kEnhanced;
  std::error_code ignored;
  const bool existed = fs::exists(enhancedFile, ignored);
  const auto previous = files::read(enhancedFile, files::kTextFileLimit);
  files::writeAtomically(enhancedFile, enhanced, *env);
  meta->enhancedWith = model;
  try {
    files::writeAtomically(folder / kMeta, encodeMeta(*meta), *env);
  } catch (...) {
    // Notes and "meta.json" must not disagree on the model: put both back,
    // as a failing folder sync leaves the new "meta.json" in place. Notes
    // too large to read again are left as written.
    try {
      files::writeAtomically(folder / kMeta, *bytes, *env);
      if (previous) {
        files::writeAtomically(enhancedFile, *previous, *env);
      } else if (!existed) {
        fs::remove(enhancedFile);
      }
    } catch (...) {
    }
    throw;
  }
}

void Store::saveTranscript(const Meeting& meeting) const {
  std::string lines;
  for (const auto& segment : meeting.segments) {
    lines += encodeSegmentLine(segment);
    lines += '\n';
  }
  files::writeAtomically(meeting.folder / kTranscript, lines, *env);
  files::writeAtomically(meeting.folder / kTranscriptMarkdown,
                         Transcript::markdown(meeting.segments, meeting.meta.title), *env);
}

void Store::append(const Segment& segment, const fs::path& folder) const {
  std::string line = encodeSegmentLine(segment) + "\n";
  auto file = env->newAppendableFile(folder / kTranscript);
  if (auto last = file->lastByte(); last && *last != '\n') line.insert(line.begin(), '\n');
  // One write on an O_APPEND file: concurrent appenders never interleave.
  file->append(line);
}

std::string Store::folderName(const MeetingMeta& meta) {
  const std::tm local = localTime(meta.start);
  char date[64];
  std::snprintf(date, sizeof date, "%04d-%02d-%02d %02d%02d", local.tm_year + 1900, local.tm_mon + 1,
                local.tm_mday, local.tm_hour, local.tm_min);
  std::string title = cleanedTitle(meta.title);
  return std::string(date) + " " + (title.empty() ? tr("Reunião") : title);
}

fs::path Store::defaultRoot() { return paths::documents() / "Quillet"; }

}  // namespace quillet
