# Puts the sample list beside the program once; never overwrites the user's own list.
if(NOT EXISTS "${DST}")
    file(COPY_FILE "${SRC}" "${DST}")
endif()
