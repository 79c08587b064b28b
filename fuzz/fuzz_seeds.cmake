# Writes the seed corpora of nested_walk_fuzz, signer_name_chains_fuzz and
# platform_decode_fuzz: fuzz_seeds <corpus root> [signature.der...].
# scripts/make_fuzz_seeds.sh runs it over the end-to-end fixtures' signatures.
add_executable(fuzz_seeds ${PROJECT_SOURCE_DIR}/fuzz/fuzz_seeds.cpp)
target_include_directories(fuzz_seeds PRIVATE ${PROJECT_SOURCE_DIR})
