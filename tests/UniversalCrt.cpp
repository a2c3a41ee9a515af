// Linked to the Universal CRT alone, as MSYS2's UCRT64 links: Windows 10 has it, so the
// release may need it.
extern "C" int __cdecl puts(const char* text);

extern "C" int Start()
{
    return puts("Universal CRT");
}
