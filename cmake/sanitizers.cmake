# One sanitizer set for the whole build, so the library and its tests agree.
if(QUILVANE_SANITIZE)
  add_compile_options(-fsanitize=${QUILVANE_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${QUILVANE_SANITIZE})
endif()
