// The status screen both the picture in docs/ and the demo draw through the library.
#pragma once

void draw_status_screen();
