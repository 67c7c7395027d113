#include "console/console.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdarg>
#include <cstring>
#include <vector>

#include "console/notes.h"

namespace korvo {

namespace {

// The notes of the threads, as the interruption path reads them: every field atomic, since it
// may run on any thread while another changes its own note. A slot's version is odd while its
// text changes, so that a reader can tell a copy that mixes two texts and take it again.
struct NoteSlot {
  std::atomic<bool> taken{false};
  std::atomic<unsigned> version{0};
  std::atomic<std::size_t> length{0};
  std::array<std::atomic<char>, CONSOLE_NOTE_BYTES> text{};
};
static_assert(std::atomic<std::size_t>::is_always_lock_free && std::atomic<char>::is_always_lock_free);
std::array<NoteSlot, CONSOLE_NOTE_SLOTS> g_notes;
// This thread's slot; -1: none. A thread that clears its note gives its slot back.
thread_local int t_note_slot = -1;

// Whether the last text written to either stream left its line open (a port's name before
// its verdict, a prompt, a progress line): a terminal shows both streams on one screen.
std::atomic<bool> g_line_open{false};

void wrote(const char* text, std::size_t length) {
  if (length > 0) g_line_open.store(text[length - 1] != '\n');
}

int claim_note_slot() {
  for (std::size_t i = 0; i < g_notes.size(); ++i) {
    bool expected = false;
    if (g_notes[i].taken.compare_exchange_strong(expected, true)) return static_cast<int>(i);
  }
  return -1;  // more threads than slots: that thread's interruption goes without its note
}

// Written whole and flushed at once: prompts and progress lines without a newline must show.
// Formatted here first, since printf on an unbuffered stream may hand the system one
// character at a time (mingw's does), a write each: 34 for a progress line, paid between
// one record's status and the next record.
void write_now(std::FILE* file, const char* format, va_list args) {
  char text[512];
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(text, sizeof text, format, args);
  if (length > 0 && static_cast<std::size_t>(length) < sizeof text) {
    std::fwrite(text, 1, static_cast<std::size_t>(length), file);
    wrote(text, static_cast<std::size_t>(length));
  } else if (length > 0) {
    std::vector<char> longer(static_cast<std::size_t>(length) + 1);
    std::vsnprintf(longer.data(), longer.size(), format, again);
    std::fwrite(longer.data(), 1, static_cast<std::size_t>(length), file);
    wrote(longer.data(), static_cast<std::size_t>(length));
  }
  va_end(again);
  std::fflush(file);
}

}  // namespace

void console_set_interrupt_note(const char* text) {
  const std::size_t length = std::min(std::strlen(text), CONSOLE_NOTE_BYTES);
  if (t_note_slot < 0 && length == 0) return;
  if (t_note_slot < 0) t_note_slot = claim_note_slot();
  if (t_note_slot < 0) return;
  NoteSlot& slot = g_notes[static_cast<std::size_t>(t_note_slot)];
  slot.version.fetch_add(1);
  for (std::size_t i = 0; i < length; ++i) slot.text[i].store(text[i], std::memory_order_relaxed);
  slot.length.store(length);
  slot.version.fetch_add(1);
  if (length == 0) {
    slot.taken.store(false);
    t_note_slot = -1;
  }
}

std::size_t console_note_copy(std::size_t index, char* out) {
  if (index >= g_notes.size()) return 0;
  const NoteSlot& slot = g_notes[index];
  // A few tries: the writer may be the very thread this interruption stopped, so waiting for
  // it could last for ever.
  for (int attempt = 0; attempt < 3; ++attempt) {
    const unsigned before = slot.version.load();
    const std::size_t length = slot.length.load();
    for (std::size_t i = 0; i < length; ++i) out[i] = slot.text[i].load(std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_acquire);  // the copy before the second look
    if (before % 2 == 0 && slot.version.load() == before) return length;
  }
  return 0;
}

void say(ConsoleOut& out, const char* format, ...) {
  va_list args;
  va_start(args, format);
  write_now(out.file, format, args);
  va_end(args);
}

void tell(ConsoleOut& out, const char* format, ...) {
  va_list args;
  va_start(args, format);
  write_now(out.err, format, args);
  va_end(args);
}

bool console_line_open() { return g_line_open.load(); }

void say_bytes(ConsoleOut& out, const void* data, std::size_t count) {
  std::fwrite(data, 1, count, out.file);
  wrote(static_cast<const char*>(data), count);
  std::fflush(out.file);
}

}  // namespace korvo
