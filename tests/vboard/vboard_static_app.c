/* A statically linked program, which the launcher must refuse: nothing can be preloaded into it. */
#include <stdio.h>

int main(void)
{
    puts("application started");
    return 0;
}
