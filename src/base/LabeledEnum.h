#pragma once

#include <QList>
#include <QString>
#include <optional>

// Enumerations whose cases have visible labels declare `QString label(E)` beside the type
// and specialise allCases<E>() with every case in declaration order; fromLabel<E>() then
// finds a case by its exact label (case-sensitive), nothing for any other text.
template<typename E>
[[nodiscard]] QList<E> allCases();

template<typename E>
[[nodiscard]] std::optional<E> fromLabel(const QString &text)
{
    const QList<E> cases = allCases<E>();
    for (const E value : cases) {
        if (label(value) == text)
            return value;
    }
    return std::nullopt;
}
