#include "app/Startup.h"

int main(int argc, char** argv)
{
    return orvane::run(argc, argv);
}
