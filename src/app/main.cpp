#include "app/KorvanthelixApp.h"

int main(int argc, char *argv[])
{
    KorvanthelixApp app(argc, argv);
    return app.run();
}
