#pragma once

// Who we are, as the windows show it. The addresses are reserved names that
// reach nobody until the maker has a real site and mailbox.
// "Quorvane ©": the sign is 0xA9 in the Windows Latin-1 code page.
inline constexpr char kProgramTitle[] = "Quorvane \xA9";
inline constexpr wchar_t kProgramTitleW[] = L"Quorvane \u00A9";
inline constexpr char kProgramVersion[] = "2.00";
inline constexpr char kMakerAddress[] = "https://www.talvenor.example/";
inline constexpr char kSupportMailLink[] = "mailto:support@talvenor.example";
