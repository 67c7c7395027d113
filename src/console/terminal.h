// What a view that redraws lines in place needs of the terminal it draws on.
#pragma once

#include <cstdio>

namespace korvo {

// Whether `file` is a terminal that takes cursor movement and erase sequences (on Windows,
// after turning its virtual-terminal processing on); false for a pipe, a file, or a console
// without those sequences, where a view writes plain lines instead.
bool console_live_view(std::FILE* file);

// The width of that terminal in columns; 80 when it cannot be told.
int console_columns(std::FILE* file);
// Its height in lines; 24 when it cannot be told.
int console_lines(std::FILE* file);

}  // namespace korvo
