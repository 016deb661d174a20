/* The service's image path as the package's custom action writes it. */
#ifndef TOBRA_IMAGE_PATH_H
#define TOBRA_IMAGE_PATH_H

#include <stddef.h>
#include <wchar.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Splits the custom action data "service name|executable path|arguments" and
 * builds the image path: the executable's path in quotes, then the arguments
 * (if any) after one space. Returns 0, writing nothing usable, when the data is
 * malformed (an empty name or path, a path that holds a quote) or a result
 * does not fit its buffer. */
int BuildServiceImagePath(const wchar_t* data, wchar_t* serviceName, size_t nameCapacity, wchar_t* imagePath,
                          size_t pathCapacity);

#ifdef __cplusplus
}
#endif

#endif
