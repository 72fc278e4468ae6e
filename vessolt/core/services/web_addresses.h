#pragma once
// The product's and the maker's web pages. The report header, the Help menu and the About and splash
// windows name the same ones.
namespace ostrel::vessolt {

inline constexpr const char* kProductUrl = "https://norbix.example.org/";
inline constexpr const char* kMakerUrl = "https://ostrel.example.org/";
inline constexpr const char* kDriverDownloadUrl = "https://ostrel.example.org/drivers/";

} // namespace ostrel::vessolt
