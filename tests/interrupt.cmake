# The interrupt watch and the terminal queries of the platform layer.
dizedir_test(interrupt_test
  SOURCES ${PROJECT_SOURCE_DIR}/src/platform/interrupt_test.cpp
  LIBS dizedir_platform)
