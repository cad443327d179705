// Text typed into a POSIX shell on the user's behalf: quoting that the shell reads back as the
// same bytes, and the refusal of names that the terminal itself would act on.
#pragma once

#include <string>
#include <string_view>

namespace kv {

// In single quotes; each single quote inside is written as '\''.
std::string ShellQuote(std::string_view AText);
// Unquoted when every character is an ASCII letter or digit or one of % + , - . / : = @ _.
std::string ShellQuoteIfNeeded(std::string_view AText);
// Whether the text holds a C0 control, DEL or a C1 control (in UTF-8): typed into a terminal,
// ^C, ^U or ^D would act instead of being part of a name.
bool HoldsControlCharacters(std::string_view AText);
// "cd -- '<folder>'" for typing into the shell. False with the reason for the user in AError
// when the folder cannot be typed safely.
bool ShellCdCommand(std::string_view AFolder, std::string& ACommand, std::string& AError);

} // namespace kv
