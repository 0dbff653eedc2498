# A close that fails, as on a disk that fills at the last moment, is set up by wrapping fclose.
target_link_options(${target} PRIVATE -Wl,--wrap=fclose)
