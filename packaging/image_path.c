/* Builds the quoted image path from the data the package hands the custom action. */
#include "image_path.h"

static int IsBlank(wchar_t c)
{
    return c == L' ' || c == L'\t';
}

/* Copies [begin, end) and a terminator; 0 when it does not fit. */
static int CopyRange(const wchar_t* begin, const wchar_t* end, wchar_t* target, size_t capacity)
{
    size_t length = (size_t)(end - begin);
    if (length + 1 > capacity)
        return 0;
    wmemcpy(target, begin, length);
    target[length] = L'\0';
    return 1;
}

int BuildServiceImagePath(const wchar_t* data, wchar_t* serviceName, size_t nameCapacity, wchar_t* imagePath,
                          size_t pathCapacity)
{
    const wchar_t* nameEnd;
    const wchar_t* path;
    const wchar_t* pathEnd;
    const wchar_t* arguments;
    const wchar_t* argumentsEnd;
    const wchar_t* p;
    size_t pathLength;
    size_t argumentsLength;
    size_t needed;

    if (data == NULL || serviceName == NULL || imagePath == NULL || nameCapacity == 0 || pathCapacity == 0)
        return 0;
    serviceName[0] = L'\0';
    imagePath[0] = L'\0';

    nameEnd = wcschr(data, L'|');
    if (nameEnd == NULL || nameEnd == data)
        return 0;
    path = nameEnd + 1;
    pathEnd = wcschr(path, L'|');
    if (pathEnd == NULL || pathEnd == path)
        return 0;
    /* A quote inside would end the quoted path early: the rest would become arguments. */
    for (p = path; p != pathEnd; ++p) {
        if (*p == L'"')
            return 0;
    }
    /* Windows Installer formats an unset property as nothing, leaving blanks behind. */
    arguments = pathEnd + 1;
    while (IsBlank(*arguments))
        ++arguments;
    argumentsEnd = arguments + wcslen(arguments);
    while (argumentsEnd != arguments && IsBlank(argumentsEnd[-1]))
        --argumentsEnd;

    pathLength = (size_t)(pathEnd - path);
    argumentsLength = (size_t)(argumentsEnd - arguments);
    needed = pathLength + 2 + (argumentsLength != 0 ? argumentsLength + 1 : 0) + 1;
    if (needed > pathCapacity || !CopyRange(data, nameEnd, serviceName, nameCapacity)) {
        serviceName[0] = L'\0';
        return 0;
    }
    imagePath[0] = L'"';
    wmemcpy(imagePath + 1, path, pathLength);
    imagePath[pathLength + 1] = L'"';
    if (argumentsLength != 0) {
        imagePath[pathLength + 2] = L' ';
        wmemcpy(imagePath + pathLength + 3, arguments, argumentsLength);
    }
    imagePath[needed - 1] = L'\0';
    return 1;
}
