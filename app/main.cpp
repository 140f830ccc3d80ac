#include "app/application.h"

int main(int argc, char** argv)
{
    return brennick::runApplication(argc, argv);
}
