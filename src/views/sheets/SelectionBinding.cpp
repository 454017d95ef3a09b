#include "views/sheets/SelectionBinding.h"

SelectionBinding::SelectionBinding(Getter get, Setter set, QObject *parent)
    : QObject(parent)
    , m_get(std::move(get))
    , m_set(std::move(set))
{}

SelectionBinding::SelectionBinding(QObject *parent)
    : QObject(parent)
{}

QSet<QString> SelectionBinding::value() const
{
    return m_get ? m_get() : m_own;
}

void SelectionBinding::setValue(const QSet<QString> &selection)
{
    if (m_set)
        m_set(selection);
    else
        m_own = selection;
    emit changed();
}
