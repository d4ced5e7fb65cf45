#pragma once
// The three kinds of feed session. The controller names its requests with
// the same numbers.

namespace kind {
inline constexpr int RefreshGroups = 4003;
inline constexpr int PostArticles = 4004;
inline constexpr int FetchArticles = 4005;
}  // namespace kind
