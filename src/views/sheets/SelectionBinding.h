#pragma once

#include <QObject>
#include <QSet>
#include <QString>
#include <functional>

// A two-way binding to the window's selection (paths of selected applications), shared by
// every section of the window. Main thread only.
class SelectionBinding final : public QObject
{
    Q_OBJECT
public:
    using Getter = std::function<QSet<QString>()>;
    using Setter = std::function<void(const QSet<QString> &)>;

    // Reads and writes the owner's set. The owner forwards its own change signal to
    // changed(); a write through setValue() also emits it.
    SelectionBinding(Getter get, Setter set, QObject *parent = nullptr);
    // Holds its own set (previews, tests).
    explicit SelectionBinding(QObject *parent = nullptr);

    [[nodiscard]] QSet<QString> value() const;
    void setValue(const QSet<QString> &selection);

signals:
    // The set changed, from either side; readers read value() again.
    void changed();

private:
    Getter m_get;
    Setter m_set;
    QSet<QString> m_own;
};
