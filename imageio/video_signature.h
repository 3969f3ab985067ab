#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <string>

// The containers a video comes in, told apart from pictures by their first
// bytes alone, whatever the file is named.
enum class VideoContainer { Mp4, Matroska, Avi };

// The container whose signature `head` (a file's first bytes, at least 12 for
// a sure answer) starts with; nullopt for anything else.
std::optional<VideoContainer> VideoContainerOf(std::span<const uint8_t> head);

// "MP4", "Matroska" or "AVI", as a person names them.
const char* VideoContainerName(VideoContainer container);

// Why a video does not load as a picture. On Windows (the window and
// quorvane-convert.exe) it names the Linux converter, which converts videos.
std::string VideoRefusal(VideoContainer container);
