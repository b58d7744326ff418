"""Sends {"type":"VideoStatus"} to the service on 127.0.0.1:9030 as a page
would, retrying while it starts; prints the reply, fails unless it is one."""
import asyncio, json, sys
import websockets


async def ask(seconds):
    end = asyncio.get_running_loop().time() + seconds
    while True:
        try:
            async with websockets.connect("ws://127.0.0.1:9030", open_timeout=2) as ws:
                await ws.send(json.dumps({"type": "VideoStatus"}))
                return json.loads(await asyncio.wait_for(ws.recv(), 10))
        except (OSError, asyncio.TimeoutError, websockets.exceptions.InvalidHandshake):
            if asyncio.get_running_loop().time() > end:
                raise
            await asyncio.sleep(0.2)


reply = asyncio.run(ask(float(sys.argv[1])))
print(json.dumps(reply))
sys.exit(0 if reply.get("func") == "VideoStatus" and reply.get("result") == 0 and "video0" in reply else 1)
