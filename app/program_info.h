#pragma once

// Who we are, as the windows show it. The addresses are reserved names that
// reach nobody until the maker has a real site and mailbox.
// "Quorvane ©". Narrow text is UTF-8 throughout the program (the manifest
// makes it the code page), where the sign is the two bytes C2 A9.
inline constexpr char kProgramTitle[] = "Quorvane \xC2\xA9";
inline constexpr wchar_t kProgramTitleW[] = L"Quorvane \u00A9";
inline constexpr char kProgramVersion[] = "2.00";
inline constexpr char kMakerAddress[] = "https://www.talvenor.example/";
inline constexpr char kSupportMailLink[] = "mailto:support@talvenor.example";
