#pragma once

// inkboat --export-book <book id or exact title> --format txt|epub|odt|docx|pdf --output FILE
// Writes the book without a window and ends: exit code 0, or non-zero with the reason on stderr.
// The data folder must be free: while the program runs on it the command refuses (it never
// reads a file another process is writing).
namespace ExportCommand {

// Whether the arguments ask for the export.
bool requested(int argc, char **argv);
// Runs it; creates its own application object. Returns the exit code.
int run(int argc, char **argv);

} // namespace ExportCommand
