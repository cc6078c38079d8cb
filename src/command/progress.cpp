#include "command/progress.h"

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cwchar>
#include <vector>

#include "io/error_text.h"

namespace lumtab {

namespace {

void draw(const std::string& text) {
    ssize_t ignored = ::write(STDERR_FILENO, text.data(), text.size());
    (void)ignored;
}

// Whether a line may be drawn: standard error is a terminal, and the output does
// not go to standard output where that is the same terminal.
bool may_draw(bool output_to_standard_output) {
    struct stat error {};
    struct stat output {};
    if (!::isatty(STDERR_FILENO) || ::fstat(STDERR_FILENO, &error) != 0) return false;
    return !output_to_standard_output || ::fstat(STDOUT_FILENO, &output) != 0 ||
           !S_ISCHR(output.st_mode) || output.st_rdev != error.st_rdev;
}

std::size_t terminal_columns() {
    winsize size{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return 80;
    return size.ws_col;
}

}  // namespace

std::string fit_to_columns(const std::string& name, std::size_t columns) {
    // The columns each character takes, in the locale's encoding; a byte that is
    // not a character there takes one.
    std::vector<std::size_t> starts, widths;
    std::mbstate_t state{};
    for (std::size_t i = 0; i < name.size();) {
        wchar_t c;
        std::size_t length = std::mbrtowc(&c, name.data() + i, name.size() - i, &state);
        int width = 1;
        if (length == std::size_t(-1) || length == std::size_t(-2) || length == 0) {
            length = 1;
            state = {};
        } else {
            width = std::max(::wcwidth(c), 0);
        }
        starts.push_back(i);
        widths.push_back(static_cast<std::size_t>(width));
        i += length;
    }
    std::size_t total = 0;
    for (std::size_t width : widths)
        total += width;
    if (total <= columns) return name;
    const std::string ellipsis = "...";
    std::size_t kept = 0;
    std::size_t from = starts.size();
    while (from > 0 && kept + widths[from - 1] + ellipsis.size() <= columns)
        kept += widths[--from];
    if (columns < ellipsis.size()) return "";
    return ellipsis + name.substr(from < starts.size() ? starts[from] : name.size());
}

Progress::Progress(bool wanted, const std::string& name, bool output_to_standard_output)
    : wanted_(wanted && may_draw(output_to_standard_output)),
      name_(printable(name)),
      start_(Clock::now()),
      drawn_at_(start_) {}

Progress::~Progress() {
    if (drawn_) draw("\r\033[K");
}

void Progress::update(std::uint64_t done, std::uint64_t total) {
    if (!wanted_ || total == 0) return;
    auto now = Clock::now();
    if (now - start_ < std::chrono::seconds(1) || now - drawn_at_ < std::chrono::milliseconds(100))
        return;
    drawn_at_ = now;
    drawn_ = true;
    const std::string percent = ": " + std::to_string(std::min(done, total) * 100 / total) + "%";
    const std::string prefix = "lumtab: ";
    // One column short of the width: a line that reaches the last column wraps on
    // some terminals, and the carriage return would then redraw the next line.
    std::size_t columns = terminal_columns();
    std::size_t room = columns > prefix.size() + percent.size() + 1
                           ? columns - prefix.size() - percent.size() - 1
                           : 0;
    draw("\r" + prefix + fit_to_columns(name_, room) + percent);
}

std::string with_thousands(std::uint64_t number) {
    const std::string digits = std::to_string(number);
    std::string grouped;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i != 0 && (digits.size() - i) % 3 == 0) grouped += ',';
        grouped += digits[i];
    }
    return grouped;
}

BatchProgress::BatchProgress(bool wanted, std::uint64_t files, std::uint64_t bytes,
                             bool output_to_standard_output)
    : wanted_(wanted && may_draw(output_to_standard_output)),
      files_(files),
      bytes_(bytes),
      start_(Clock::now()),
      drawn_at_(start_) {}

BatchProgress::~BatchProgress() {
    clear();
}

void BatchProgress::clear() {
    if (drawn_) draw("\r\033[K");
    drawn_ = false;
}

void BatchProgress::update(std::uint64_t files, std::uint64_t bytes) {
    if (!wanted_) return;
    auto now = Clock::now();
    if (now - start_ < std::chrono::seconds(1) ||
        (drawn_ && now - drawn_at_ < std::chrono::milliseconds(100)))
        return;
    drawn_at_ = now;
    drawn_ = true;
    std::uint64_t percent =
        bytes_ != 0 ? std::min(bytes, bytes_) * 100 / bytes_
                    : std::min(files, files_) * 100 / std::max<std::uint64_t>(files_, 1);
    std::string text = "lumtab: " + with_thousands(files) + " of " + with_thousands(files_) +
                       " files, " + std::to_string(percent) + "%";
    // One column short of the width, as Progress has it.
    std::size_t columns = terminal_columns();
    text.resize(std::min(text.size(), columns > 1 ? columns - 1 : 0));
    draw("\r" + text + "\033[K");
}

}  // namespace lumtab
