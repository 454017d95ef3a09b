// Anchors the window library so it builds before any view exists.
namespace {
[[maybe_unused]] constexpr int uiLibrary = 0;
} // namespace
