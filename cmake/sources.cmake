# The Python-free sources, shared by the project, the fuzz targets and the
# engine tests (each a CMake project of its own). RAVIK_ROOT: the checkout.
set(RAVIK_CORE_SOURCES
  ${RAVIK_ROOT}/src/core/cell.cpp
  ${RAVIK_ROOT}/src/core/flat_json.cpp
  ${RAVIK_ROOT}/src/core/core_processing.cpp
  ${RAVIK_ROOT}/src/core/checkpoint_format.cpp
  ${RAVIK_ROOT}/src/core/trade_aggregation.cpp
  ${RAVIK_ROOT}/src/core/columnar.cpp
  ${RAVIK_ROOT}/src/core/column_pass.cpp
  ${RAVIK_ROOT}/src/core/datagram_batch.cpp
  ${RAVIK_ROOT}/src/core/result_table.cpp
  ${RAVIK_ROOT}/src/core/hashing.cpp
  ${RAVIK_ROOT}/src/core/window_table.cpp
  ${RAVIK_ROOT}/src/core/aggregates.cpp
  ${RAVIK_ROOT}/src/core/sketches.cpp
  ${RAVIK_ROOT}/src/core/sliced_windows.cpp)
# Header-only libraries the core compiles as system includes: xxHash (the
# keyed hash of the state's tables) and Apache DataSketches (KLL, HLL).
set(RAVIK_CORE_SYSTEM_INCLUDES
  ${RAVIK_ROOT}/third_party/xxhash
  ${RAVIK_ROOT}/third_party/datasketches/common/include
  ${RAVIK_ROOT}/third_party/datasketches/hll/include
  ${RAVIK_ROOT}/third_party/datasketches/kll/include)
set(RAVIK_STREAM_SOURCES
  ${RAVIK_ROOT}/src/stream/stream.cpp
  ${RAVIK_ROOT}/src/stream/worker.cpp
  ${RAVIK_ROOT}/src/stream/pull.cpp
  ${RAVIK_ROOT}/src/stream/checkpoint_io.cpp
  ${RAVIK_ROOT}/src/stream/udp_ingest.cpp)
