// A Mac-shaped build compiles with libc++ as a Mac does, but links this system's Qt, which
// was built with libstdc++. The few Qt functions it calls whose signatures name a standard
// type are defined here under libc++'s names: rebuilt from Qt's other functions, or handed on
// to Qt's own where both libraries lay the type out alike.

#include <QByteArray>
#include <QRunnable>
#include <QThreadPool>
#include <functional>
#include <string>
#include <utility>

std::string QByteArray::toStdString() const
{
    return std::string(constData(), size_t(size()));
}

namespace {

class FunctionRunnable : public QRunnable
{
public:
    explicit FunctionRunnable(std::function<void()> function)
        : m_function(std::move(function))
    {}
    void run() override { m_function(); }

private:
    std::function<void()> m_function;
};

} // namespace

void QThreadPool::start(std::function<void()> functionToRun, int priority)
{
    start(new FunctionRunnable(std::move(functionToRun)), priority);
}

// QUnhandledException(std::exception_ptr): an exception_ptr is one pointer in both
// libraries, and a by-value argument of its kind is passed by address.
extern "C++" void qtUnhandledException(void *self, void *exception) asm(
    "_ZN19QUnhandledExceptionC1ENSt15__exception_ptr13exception_ptrE");
extern "C++" void
libcxxUnhandledException(void *self,
                         void *exception) asm("_ZN19QUnhandledExceptionC1ESt13exception_ptr");
void libcxxUnhandledException(void *self, void *exception)
{
    qtUnhandledException(self, exception);
}
