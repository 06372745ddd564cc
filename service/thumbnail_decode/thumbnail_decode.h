// The thumbnail job: works the head item of the queue into one strip image.
#pragma once

class MainWindow_CL;

// Returns 0 after it handled an item, -1 when the queue was empty.
int ThumbnailDecode(MainWindow_CL& window);
