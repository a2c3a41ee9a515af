# Makes the release zip ZIP from the build BUILD (configuration CONFIG) of the sources in SOURCE,
# and SHA256SUMS beside it. The same sources give the same bytes: the files go in a fixed order,
# each dated with SOURCE_DATE_EPOCH where it is set, or else with the last commit's time. Needs
# Python 3.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
    execute_process(COMMAND git -C ${SOURCE} log -1 --format=%ct OUTPUT_VARIABLE epoch
                    OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed ERROR_QUIET)
    if(failed OR NOT epoch)
        message(FATAL_ERROR "No SOURCE_DATE_EPOCH and no git history to date the release's files by")
    endif()
    set(ENV{SOURCE_DATE_EPOCH} ${epoch})
endif()

get_filename_component(name ${ZIP} NAME)
string(REGEX REPLACE "\\.zip$" "" name ${name})
set(stage ${BUILD}/release-stage)
file(REMOVE_RECURSE ${stage})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --config ${CONFIG} --prefix ${stage}/${name}
                RESULT_VARIABLE failed OUTPUT_QUIET)
if(failed)
    message(FATAL_ERROR "cannot install the build into ${stage}")
endif()
set(files Pikerosu.exe PIKEROSU.DAT README-ja.txt THIRD-PARTY-NOTICES.txt)
list(TRANSFORM files PREPEND ${name}/)
file(REMOVE ${ZIP})
# CMake's own archives carry each file's access and change times: Python's zip module writes none.
find_program(PYTHON NAMES python3 python REQUIRED)
execute_process(COMMAND ${PYTHON} ${SOURCE}/cmake/zip-release.py ${ZIP} ${stage} ${files} RESULT_VARIABLE failed)
if(failed OR NOT EXISTS ${ZIP})
    message(FATAL_ERROR "cannot make ${ZIP}")
endif()

get_filename_component(folder ${ZIP} DIRECTORY)
get_filename_component(zipName ${ZIP} NAME)
file(SHA256 ${ZIP} zipHash)
file(SHA256 ${stage}/${name}/Pikerosu.exe exeHash)
file(WRITE ${folder}/SHA256SUMS "${zipHash}  ${zipName}\n${exeHash}  ${name}/Pikerosu.exe\n")
