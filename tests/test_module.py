import linara


def test_public_names_and_module_docstring():
    assert linara.__all__ == ["Segment", "detect", "warp_rgb"]
    assert linara.__doc__ == ""
    for name in linara.__all__:
        assert getattr(linara, name).__module__ == "linara"


def test_function_docs_and_signatures():
    assert linara.detect.__doc__ == "Find the validated line segments of a grayscale image."
    assert linara.detect.__text_signature__ == "(gray, scale=...)"
    assert linara.warp_rgb.__doc__ == "Perspective-warp an RGB image through an inverse homography."
    assert linara.warp_rgb.__text_signature__ == "(src, inverse, scale, off_x, off_y)"
