# Real programs over the loop's transports: an aiohttp server and client, over asyncio's loop
# and cadrelio's.
import asyncio
import os

import pytest

from conftest import run

web = pytest.importorskip("aiohttp.web")
aiohttp = pytest.importorskip("aiohttp")


async def serve_and_fetch(requests, body_size):
    async def hello(request):
        return web.Response(text="hello")

    async def echo(request):
        return web.Response(body=await request.read())

    app = web.Application(client_max_size=body_size + 1)
    app.add_routes([web.get("/", hello), web.post("/echo", echo)])
    runner = web.AppRunner(app)
    await runner.setup()
    site = web.TCPSite(runner, "127.0.0.1", 0)
    await site.start()
    port = site._server.sockets[0].getsockname()[1]
    body = os.urandom(body_size)
    try:
        async with aiohttp.ClientSession() as session:
            async def get():
                async with session.get(f"http://127.0.0.1:{port}/") as response:
                    return response.status, await response.text()

            async def post():
                async with session.post(f"http://127.0.0.1:{port}/echo", data=body) as response:
                    return await response.read()

            answers = await asyncio.gather(*(get() for _ in range(requests)))
            echoed = await post()
    finally:
        await runner.cleanup()
    return answers, echoed == body


def test_aiohttp_server_and_client(loop):
    answers, echoed = run(loop, serve_and_fetch(requests=50, body_size=4 << 20), timeout=60)
    assert answers == [(200, "hello")] * 50
    assert echoed
