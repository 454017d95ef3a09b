#pragma once

#include <QString>
#include <optional>

// The answer of a check that only judges: a verdict and, when it fails, why.
struct Verdict
{
    bool ok = true;
    std::optional<QString> reason;

    [[nodiscard]] static Verdict pass() { return {true, std::nullopt}; }
    [[nodiscard]] static Verdict fail(QString why) { return {false, std::move(why)}; }
    friend bool operator==(const Verdict &, const Verdict &) = default;
};
