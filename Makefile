# Thin wrapper over the CMake presets for the README's two commands.
.PHONY: test demo asan tsan clean

test:
	cmake --workflow --preset dev

demo:
	cmake --preset dev >/dev/null && cmake --build --preset dev --target hxctl hxnet-component
	tools/demo.sh build

asan:
	cmake --workflow --preset asan

tsan:
	cmake --workflow --preset tsan

clean:
	rm -rf build build-asan build-tsan build-release build-fuzz
